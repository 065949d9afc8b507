#include "hf_util/download.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <map>
#include <stop_token>
#include <thread>

#include <fmt/format.h>

#include "hf_util/http_get.h"
#include "hf_util/part_file.h"
#include "hf_util/url_path.h"

namespace varkel {

namespace fs = std::filesystem;

namespace {

std::string os_error_text(int code) { return IoError::from_os(code).to_string(); }

// Writes the body through one buffer into the temporary file.
class FileSink : public HttpSink {
 public:
  FileSink(const DownloadRequest& request, fs::path destination, progress::ProgressBar& bar)
      : request_(request), destination_(std::move(destination)), bar_(bar) {}

  std::optional<std::string> on_head(const HttpHead& head) override {
    bar_.set_length(head.content_length.value_or(0));
    buffer_.reset(new char[DOWNLOAD_BUFFER_BYTES]);
    auto file = PartFile::create(destination_);
    if (!file && file.error() == PartFile::BUSY) {
      busy_ = true;
      return fmt::format("create {}: another download of this file is in progress", request_.name);
    }
    if (!file) return fmt::format("create {}: {}", request_.name, os_error_text(file.error()));
    file_.emplace(std::move(*file));
    return std::nullopt;
  }

  std::optional<std::string> on_data(const char* data, size_t size) override {
    if (size > DOWNLOAD_BODY_LIMIT - received_) {
      size_t allowed = static_cast<size_t>(DOWNLOAD_BODY_LIMIT - received_);
      if (auto failed = take(data, allowed)) return failed;
      return fmt::format("read {}: response body is larger than the limit of {} bytes", request_.name,
                         DOWNLOAD_BODY_LIMIT);
    }
    return take(data, size);
  }

  // Writes what the buffer still holds and closes the file.
  std::optional<std::string> finish() {
    if (auto failed = flush()) return failed;
    if (int code = file_->close(); code != 0) return fmt::format("write {}: {}", request_.name, os_error_text(code));
    return std::nullopt;
  }

  // Moves the finished file into place.
  std::optional<std::string> install() {
    const int code = file_->install();
    if (code == PartFile::REPLACED)
      return fmt::format("rename {}: its temporary was removed or replaced while the body arrived", request_.name);
    if (code != 0) return fmt::format("rename {}: {}", request_.name, os_error_text(code));
    return std::nullopt;
  }

  bool file_open() const { return file_ && file_->fd() >= 0; }
  // The response was refused because a live download holds the temporary.
  bool busy() const { return busy_; }

 private:
  std::optional<std::string> take(const char* data, size_t size) {
    while (size > 0) {
      if (used_ == DOWNLOAD_BUFFER_BYTES) {
        if (auto failed = flush()) return failed;
      }
      size_t n = std::min(size, DOWNLOAD_BUFFER_BYTES - used_);
      std::copy(data, data + n, buffer_.get() + used_);
      used_ += n;
      received_ += n;
      data += n;
      size -= n;
      bar_.inc(n);
    }
    return std::nullopt;
  }

  std::optional<std::string> flush() {
    const char* p = buffer_.get();
    size_t left = used_;
    while (left > 0) {
      ssize_t n = ::write(file_->fd(), p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fmt::format("write {}: {}", request_.name, os_error_text(errno));
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    used_ = 0;
    return std::nullopt;
  }

  const DownloadRequest& request_;
  const fs::path destination_;
  progress::ProgressBar& bar_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
  uint64_t received_ = 0;
  std::optional<PartFile> file_;
  bool busy_ = false;
};

// The answer for a destination where the file system already has something
// (links followed), or nothing when it has nothing there.
std::optional<HubResult<fs::path>> already_there(const fs::path& destination) {
  switch (presence_of(destination)) {
    case Presence::Absent: return std::nullopt;
    case Presence::RegularFile: return destination;
    case Presence::Other: break;
  }
  return std::unexpected(fmt::format("not a regular file: {}", destination.string()));
}

std::string interrupted_text(std::string_view pending) { return fmt::format("interrupted: {}", pending); }

// Counts the batch threads that have ended, so the calling thread can wait
// for them and poll the interrupt check in between.
class FinishLine {
 public:
  void cross() {
    {
      std::lock_guard lock(mutex_);
      ++finished_;
    }
    crossed_.notify_all();
  }
  // True once `count` threads have ended; false when `timeout` passes first.
  bool wait_for(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return crossed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable crossed_;
  size_t finished_ = 0;
};

constexpr std::chrono::milliseconds BATCH_POLL_INTERVAL{50};
// How often a download waiting for another one's temporary looks again.
constexpr std::chrono::milliseconds HOLDER_POLL_INTERVAL{50};

// One pause of a download that waits for the holder of its temporary; the
// interrupt's text when the check fires instead.
std::optional<std::string> wait_for_holder(const TransferControl& control) {
  if (control.interrupted) {
    if (auto pending = control.interrupted()) return pending;
  }
  std::this_thread::sleep_for(HOLDER_POLL_INTERVAL);
  return std::nullopt;
}

std::shared_ptr<progress::ProgressBar> named_bar(std::shared_ptr<progress::ProgressBar> bar, const std::string& name) {
  bar->set_message(name);
  return bar;
}

// The outcome of one request whose sink is `sink`.
HubResult<fs::path> finish_download(const DownloadRequest& request, const fs::path& destination, FileSink& sink,
                                    const std::expected<void, HttpError>& got, progress::ProgressBar& bar) {
  if (!got) {
    const HttpError& e = got.error();
    // Keep what arrived in the temporary file; the next attempt at this
    // destination, in any process, starts it again from byte 0.
    if (sink.file_open()) (void)sink.finish();
    switch (e.stage) {
      case HttpError::Stage::Request: return std::unexpected(fmt::format("HTTP error for {}: {}", request.name, e.text));
      case HttpError::Stage::Body: return std::unexpected(fmt::format("read {}: {}", request.name, e.text));
      case HttpError::Stage::Sink: return std::unexpected(e.text);
      case HttpError::Stage::Interrupted: return std::unexpected(interrupted_text(e.text));
    }
  }
  if (auto failed = sink.finish()) return std::unexpected(*failed);
  if (auto failed = sink.install()) return std::unexpected(*failed);
  bar.finish_and_clear();
  return destination;
}

}  // namespace

HubResult<fs::path> download_hf(const DownloadRequest& request, progress::ProgressBar& bar,
                                const TransferControl& control) {
  const std::string url =
      fmt::format("{}/{}/resolve/main/{}", request.base_url, request.repo_id, percent_encode_path(request.name));
  const fs::path destination = request.dir / request.name;
  // A live download of this file (another thread or process) is waited for,
  // before any request so that no connection idles meanwhile: its success is
  // the answer, its failure leaves the file to fetch here.
  for (;;) {
    const bool held = partial_in_use(destination);
    // Looked at after the check: a holder renames its file into place before it lets go.
    if (auto there = already_there(destination)) {
      if (*there) bar.finish_and_clear();
      return *there;
    }
    if (!held) {
      FileSink sink(request, destination, bar);
      auto got = http_get(url, sink, control);
      // Unless another download took the temporary since the check.
      if (got || !sink.busy()) return finish_download(request, destination, sink, got, bar);
    }
    if (auto pending = wait_for_holder(control)) return std::unexpected(interrupted_text(*pending));
  }
}

HubResult<fs::path> HfRepo::ensure(std::string_view name, const DownloadInterrupt& interrupted) const {
  if (auto ok = check_file_name(name); !ok) return std::unexpected(ok.error());
  fs::path destination = path_ / fs::path(name);
  if (auto there = already_there(destination)) return *there;
  if (!is_hf()) return std::unexpected(fmt::format("file not found: {}", destination.string()));
  auto stall_limit = stall_limit_from_env();
  if (!stall_limit) return std::unexpected(stall_limit.error());
  auto bar = named_bar(progress::ProgressBar::create(), std::string(name));
  DownloadRequest request{base_url_, *repo_id_, std::string(name), path_};
  return download_hf(request, *bar, {*stall_limit, interrupted});
}

HubResult<std::vector<fs::path>> HfRepo::ensure_batch(const std::vector<std::string>& names,
                                                      const DownloadInterrupt& interrupted) const {
  for (const auto& name : names)
    if (auto ok = check_file_name(name); !ok) return std::unexpected(ok.error());
  std::vector<fs::path> destinations;
  destinations.reserve(names.size());
  for (const auto& name : names) destinations.push_back(path_ / fs::path(name));

  if (!is_hf()) {
    for (const auto& d : destinations) {
      auto there = already_there(d);
      if (!there) return std::unexpected(fmt::format("file not found: {}", d.string()));
      if (!*there) return std::unexpected(there->error());
    }
    return destinations;
  }

  // As for a single file, the limit matters only when something is fetched.
  auto stall_limit = stall_limit_from_env();
  auto found = [](const fs::path& d) { return already_there(d).has_value(); };
  if (!stall_limit && !std::ranges::all_of(destinations, found)) return std::unexpected(stall_limit.error());
  // A file asked for twice is fetched once: both requests would write one temporary.
  std::vector<size_t> fetched_by(names.size());
  std::map<fs::path, size_t> first_request;
  for (size_t i = 0; i < names.size(); ++i)
    fetched_by[i] = first_request.try_emplace(destinations[i].lexically_normal(), i).first->second;
  progress::MultiProgress group;
  std::vector<HubResult<fs::path>> results(names.size(), std::unexpected(std::string("thread panicked")));
  std::optional<std::string> spawn_failure;
  std::optional<std::string> pending_interrupt;
  // Workers never run the caller's check: they only see whether it fired.
  std::stop_source stop;
  auto stop_requested = [token = stop.get_token()]() -> std::optional<std::string> {
    if (token.stop_requested()) return "stopped";
    return std::nullopt;
  };
  const TransferControl worker_control{stall_limit.value_or(DEFAULT_STALL_LIMIT), stop_requested};
  FinishLine finish_line;
  {
    std::vector<std::jthread> threads;
    threads.reserve(names.size());
    for (size_t i = 0; i < names.size(); ++i) {
      if (fetched_by[i] != i) continue;
      auto bar = named_bar(group.add(), names[i]);
      DownloadRequest request{base_url_, *repo_id_, names[i], path_};
      try {
        threads.emplace_back([request = std::move(request), bar = std::move(bar), &slot = results[i],
                              &worker_control, &finish_line]() mutable {
          try {
            slot = download_hf(request, *bar, worker_control);
          } catch (...) {
            slot = std::unexpected(std::string("thread panicked"));
          }
          finish_line.cross();
        });
      } catch (const std::system_error& e) {
        spawn_failure = fmt::format("failed to spawn thread: {}", e.what());
        break;
      }
    }
    if (interrupted) {
      while (!finish_line.wait_for(threads.size(), BATCH_POLL_INTERVAL)) {
        if ((pending_interrupt = interrupted())) {
          stop.request_stop();
          break;
        }
      }
    }
    for (auto& thread : threads) thread.join();  // request order
  }
  if (pending_interrupt) return std::unexpected(interrupted_text(*pending_interrupt));
  if (spawn_failure) return std::unexpected(*spawn_failure);
  std::vector<fs::path> paths;
  paths.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const auto& result = results[fetched_by[i]];
    if (!result) return std::unexpected(result.error());
    paths.push_back(destinations[i]);
  }
  return paths;
}

}  // namespace varkel
