// Temporaries of downloads across processes and changes of directory: other
// processes are forked children, each running one download of its own.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "common/test_files.h"
#include "hf_util/download.h"
#include "hf_util/fake_hub.h"
#include "hf_util/part_file.h"

namespace varkel {
namespace {

namespace fs = std::filesystem;
using testing::FakeHub;
using testing::FakeResponse;
using testing_support::read_file;

constexpr const char* REPO = "org/model";
const fs::path CACHE = "hub/models--org--model";

// Runs `body` in a forked child; its result is the child's exit status.
pid_t in_child(const std::function<bool()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body() ? 0 : 1);
  return pid;
}

// True when the child ran to its end and its body held.
bool succeeded(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Waits for a condition that another thread or process brings about (bounded,
// so that a fault cannot hang the test).
void await(const std::function<bool()>& ready) {
  for (int i = 0; i < 20000 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Paths below the cache of every regular file, sorted.
std::vector<std::string> cache_files() {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(CACHE))
    if (e.is_regular_file()) names.push_back(e.path().lexically_relative(CACHE).generic_string());
  std::ranges::sort(names);
  return names;
}

// What a download in progress has written: one full buffer.
constexpr size_t WRITTEN = DOWNLOAD_BUFFER_BYTES;

// The head and the first `at` bytes of `body` at once, the rest when `gate` holds.
FakeResponse held(const std::string& body, size_t at, std::function<bool()> gate) {
  const std::string head = fmt::format("HTTP/1.1 200 OK\r\nContent-Length: {}\r\n\r\n", body.size());
  return FakeResponse::gated(head + body, head.size() + at, std::move(gate));
}

uintmax_t size_or_zero(const fs::path& path) {
  std::error_code missing;
  uintmax_t size = fs::file_size(path, missing);
  return missing ? 0 : size;
}

// Earlier attempts at a file, each in a process of its own, that failed or
// were killed: the next attempt reuses their leftover, a success removes it,
// and a repository file named like an old temporary is the repository's.
TEST(DownloadTemporaryProcesses, AttemptsThatFailOrDieLeaveOneLeftoverAndASuccessNone) {
  const std::string body = std::string(300000, 'w') + "end", other = "the repository's own m.part";
  struct Case {
    std::string what;
    int attempts;
    bool killed;  // else the connection drops in mid-body
  };
  const Case cases[] = {{"failed attempts", 4, false}, {"killed attempts", 2, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::ScratchCwd scratch;
    FakeHub hub;
    HfRepo repo = testing::hub_repo(hub, REPO);
    const fs::path temp = partial_path_for(CACHE / "m.bin");
    hub.serve_file(REPO, "m.part", FakeResponse::ok(other));
    for (int i = 0; i < c.attempts; ++i) {
      // Each attempt's bytes are its own, to tell whose the temporary holds.
      const std::string attempt_body = std::string(WRITTEN, static_cast<char>('a' + i)) + body;
      if (c.killed) hub.serve_file(REPO, "m.bin", held(attempt_body, WRITTEN + 10, [] { return false; }));
      else hub.serve_file(REPO, "m.bin", FakeResponse::dropped(attempt_body, 120000));
      const pid_t child = in_child([&] {
        auto got = repo.ensure("m.bin");
        return !got && got.error().starts_with("read m.bin: ");
      });
      if (c.killed) {
        await([&] { return size_or_zero(temp) == WRITTEN && read_file(temp) == attempt_body.substr(0, WRITTEN); });
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
      } else {
        EXPECT_TRUE(succeeded(child));
      }
      EXPECT_EQ(cache_files(), std::vector<std::string>{".varkel-partial/m.bin"}) << "after attempt " << i;
    }
    auto part = repo.ensure("m.part");
    ASSERT_TRUE(part) << part.error();
    EXPECT_TRUE(read_file(*part) == other);

    hub.serve_file(REPO, "m.bin", FakeResponse::ok(body));
    auto got = repo.ensure("m.bin");
    ASSERT_TRUE(got) << got.error();
    EXPECT_TRUE(read_file(*got) == body);
    EXPECT_EQ(cache_files(), (std::vector<std::string>{"m.bin", "m.part"}));
    EXPECT_FALSE(fs::exists(CACHE / PARTIAL_DIR));
  }
}

// A download of a file that another process is writing, here and in a batch,
// waits for it without a request and touches nothing of it meanwhile. When
// the writer succeeds its file is the answer; when it fails the file is
// fetched here, in the writer's leftover.
TEST(DownloadTemporaryProcesses, ADownloadOfAFileALiveDownloadWritesWaitsForItsOutcome) {
  const std::string body = std::string(WRITTEN + 5000, 'b') + "end";
  struct Case {
    std::string what;
    bool writer_fails;  // its connection closes in mid-body
    bool batch;         // a batch waits too
    int requests;       // for b.bin in all
  };
  const Case cases[] = {{"the writer succeeds", false, true, 1}, {"the writer fails", true, false, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::ScratchCwd scratch;
    FakeHub hub;
    HfRepo repo = testing::hub_repo(hub, REPO);
    std::atomic<bool> release{false};
    FakeResponse writing = held(body, WRITTEN + 40, [&] { return release.load(); });
    writing.cut_at_gate = c.writer_fails;
    hub.serve_file(REPO, "b.bin", writing);
    hub.serve_file(REPO, "b.part", FakeResponse::ok("the repository's own b.part"));
    const fs::path temp = partial_path_for(CACHE / "b.bin");
    const pid_t writer = in_child([&] {
      auto got = repo.ensure("b.bin");
      return c.writer_fails ? !got && got.error().starts_with("read b.bin: ") : got && read_file(*got) == body;
    });
    await([&] { return size_or_zero(temp) == WRITTEN; });
    hub.serve_file(REPO, "b.bin", FakeResponse::ok(body));

    // Each waiter says when it has looked at its interrupt check.
    std::atomic<bool> single_polled{false}, batch_polled{!c.batch};
    HubResult<fs::path> single = std::unexpected(std::string("not run"));
    HubResult<std::vector<fs::path>> batch = std::unexpected(std::string("not run"));
    std::jthread single_waiter([&] {
      single = repo.ensure("b.bin", [&]() -> std::optional<std::string> { return single_polled = true, std::nullopt; });
    });
    std::jthread batch_waiter([&] {
      if (!c.batch) return;
      batch = repo.ensure_batch({"b.bin"},
                                [&]() -> std::optional<std::string> { return batch_polled = true, std::nullopt; });
    });
    await([&] { return single_polled && batch_polled; });
    EXPECT_EQ(hub.file_hits(REPO, "b.bin"), 1);
    EXPECT_TRUE(read_file(temp) == body.substr(0, WRITTEN));
    auto part = repo.ensure("b.part");
    ASSERT_TRUE(part) << part.error();
    EXPECT_EQ(read_file(*part), "the repository's own b.part");

    release = true;
    EXPECT_TRUE(succeeded(writer));
    single_waiter.join();
    batch_waiter.join();
    EXPECT_EQ(single ? single->string() : single.error(), (CACHE / "b.bin").string());
    if (c.batch) {
      EXPECT_EQ(batch ? batch->at(0).string() : batch.error(), (CACHE / "b.bin").string());
    }
    EXPECT_EQ(hub.file_hits(REPO, "b.bin"), c.requests);
    EXPECT_TRUE(read_file(CACHE / "b.bin") == body);
    EXPECT_EQ(cache_files(), (std::vector<std::string>{"b.bin", "b.part"}));
  }
}

// Ctrl-C, or a batch's stop, ends the wait for another download at once,
// while that download still holds the file.
TEST(DownloadTemporaryProcesses, AnInterruptEndsTheWaitForAnotherDownload) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  HfRepo repo = testing::hub_repo(hub, REPO);
  const std::string body = std::string(WRITTEN + 5000, 'i') + "end";
  std::atomic<bool> release{false};
  hub.serve_file(REPO, "i.bin", held(body, WRITTEN + 40, [&] { return release.load(); }));
  const fs::path temp = partial_path_for(CACHE / "i.bin");
  const pid_t writer = in_child([&] {
    auto got = repo.ensure("i.bin");
    return got && read_file(*got) == body;
  });
  await([&] { return size_or_zero(temp) == WRITTEN; });

  DownloadInterrupt ctrl_c = []() -> std::optional<std::string> { return "KeyboardInterrupt"; };
  auto single = repo.ensure("i.bin", ctrl_c);
  EXPECT_EQ(single ? "a path" : single.error(), "interrupted: KeyboardInterrupt");
  auto batch = repo.ensure_batch({"i.bin"}, ctrl_c);
  EXPECT_EQ(batch ? "paths" : batch.error(), "interrupted: KeyboardInterrupt");
  EXPECT_EQ(hub.file_hits(REPO, "i.bin"), 1);

  release = true;
  EXPECT_TRUE(succeeded(writer));
  EXPECT_TRUE(read_file(CACHE / "i.bin") == body);
  EXPECT_EQ(cache_files(), std::vector<std::string>{"i.bin"});
}

// An interrupt check that ends a wait which a fault would make endless.
DownloadInterrupt give_up_after_a_while() {
  return [deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20)]() -> std::optional<std::string> {
    if (std::chrono::steady_clock::now() > deadline) return "gave up";
    return std::nullopt;
  };
}

// A process forked while a thread downloads (a worker pool started then)
// keeps no hold on the temporary: once the download fails, the next attempt,
// in the parent or in the child, fetches the file at once.
TEST(DownloadTemporaryProcesses, AChildForkedDuringADownloadHoldsNoTemporary) {
  const std::string body = std::string(WRITTEN + 5000, 'f') + "end";
  for (const bool child_retries : {true, false}) {
    SCOPED_TRACE(child_retries ? "the child retries" : "the parent retries");
    testing_support::ScratchCwd scratch;
    FakeHub hub;
    HfRepo repo = testing::hub_repo(hub, REPO);
    std::atomic<bool> release{false};
    FakeResponse failing = held(body, WRITTEN + 40, [&] { return release.load(); });
    failing.cut_at_gate = true;
    hub.serve_file(REPO, "f.bin", failing);
    HubResult<fs::path> first = std::unexpected(std::string("not run"));
    std::jthread downloader([&] { first = repo.ensure("f.bin"); });
    await([&] { return size_or_zero(partial_path_for(CACHE / "f.bin")) == WRITTEN; });

    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const pid_t child = in_child([&] {
      char signal = 0;
      if (::read(go[0], &signal, 1) != 1) return false;
      auto got = repo.ensure("f.bin", give_up_after_a_while());
      return got && read_file(*got) == body;
    });
    ::close(go[0]);
    release = true;
    downloader.join();
    EXPECT_TRUE(!first && first.error().starts_with("read f.bin: ")) << (first ? "a path" : first.error());
    hub.serve_file(REPO, "f.bin", FakeResponse::ok(body));
    if (!child_retries) {
      auto got = repo.ensure("f.bin", give_up_after_a_while());
      EXPECT_TRUE(got && read_file(*got) == body) << (got ? "other bytes" : got.error());
    }
    EXPECT_EQ(::write(go[1], "g", 1), 1);
    ::close(go[1]);
    EXPECT_TRUE(succeeded(child));
    EXPECT_TRUE(read_file(CACHE / "f.bin") == body);
    EXPECT_EQ(hub.file_hits(REPO, "f.bin"), 2);
    EXPECT_EQ(cache_files(), std::vector<std::string>{"f.bin"});
  }
}

// A child forked while a temporary is open (from a Python signal handler
// during a download, say) writes into /dev/null: it may install nothing, not
// the parent's half-written file. Nor does it keep the parent's descriptor
// numbers: a file it opens under one of them stays its own in its children.
TEST(DownloadTemporaryProcesses, AChildForkedWhileATemporaryIsOpenInstallsNothingAndFreesItsNumbers) {
  testing_support::ScratchCwd scratch;
  fs::create_directories(CACHE);
  auto file = PartFile::create(CACHE / "k.bin");
  ASSERT_TRUE(file) << file.error();
  ASSERT_EQ(::write(file->fd(), "parent", 6), 6);

  const pid_t installer = in_child([&] {
    const bool written = ::write(file->fd(), "child", 5) == 5 && file->close() == 0;
    return written && file->install() == PartFile::REPLACED && !fs::exists(CACHE / "k.bin");
  });
  EXPECT_TRUE(succeeded(installer));
  const pid_t daemon = in_child([&] {
    const int own = ::open("own", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (own < 0 || ::dup2(own, file->fd()) < 0) return false;
    const pid_t grandchild = in_child([&] { return ::write(file->fd(), "grandchild", 10) == 10; });
    return succeeded(grandchild) && read_file("own") == "grandchild";
  });
  EXPECT_TRUE(succeeded(daemon));

  ASSERT_EQ(file->close(), 0);
  ASSERT_EQ(file->install(), 0);
  EXPECT_EQ(read_file(CACHE / "k.bin"), "parent");
  EXPECT_EQ(cache_files(), std::vector<std::string>{"k.bin"});
}

// Someone empties the directory of temporaries while a download runs, and
// another download takes the name: the first one, finishing, fails and
// leaves the other's file where it is.
TEST(DownloadTemporary, ADownloadWhoseTemporaryWasReplacedInstallsNothing) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  HfRepo repo = testing::hub_repo(hub, REPO);
  const std::string body = std::string(WRITTEN + 5000, 'x') + "end";
  const fs::path temp = partial_path_for(CACHE / "x.bin");
  int other = -1;
  hub.serve_file(REPO, "x.bin", held(body, WRITTEN + 40, [&] {
    if (size_or_zero(temp) != WRITTEN) return false;
    fs::remove(temp);
    testing_support::write_file(temp, "another download's bytes");
    other = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC);
    return ::flock(other, LOCK_EX) == 0;
  }));
  auto got = repo.ensure("x.bin");
  EXPECT_EQ(got ? "a path" : got.error(), "rename x.bin: its temporary was removed or replaced while the body arrived");
  ::close(other);
  EXPECT_EQ(cache_files(), std::vector<std::string>{".varkel-partial/x.bin"});
  EXPECT_EQ(read_file(temp), "another download's bytes");
}

// A download that takes the temporary after this one found it free, but
// before its response came, is waited for like any other.
TEST(DownloadTemporary, ATemporaryTakenAfterTheCheckIsWaitedForToo) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  std::ignore = testing::hub_repo(hub, REPO);
  const std::string body = std::string(3000, 'r') + "end";
  const fs::path temp = partial_path_for(CACHE / "r.bin");
  std::atomic<int> holder{-1};
  // The response goes out once a holder has locked the temporary; the next request gets the file.
  const std::string head = fmt::format("HTTP/1.1 200 OK\r\nContent-Length: {}\r\n\r\n", body.size());
  hub.serve_file(REPO, "r.bin", FakeResponse::gated(head + body, 0, [&] {
    if (holder >= 0) return true;
    fs::create_directories(temp.parent_path());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) ::close(fd);
    hub.serve_file(REPO, "r.bin", FakeResponse::ok(body));
    holder = fd;
    return true;
  }));
  auto bar = progress::ProgressBar::create();
  // The bar has its length once a response was refused for the busy temporary:
  // the check is looked at next while waiting.
  std::atomic<bool> waiting{false};
  DownloadInterrupt note_wait = [&]() -> std::optional<std::string> {
    if (bar->length()) waiting = true;
    return std::nullopt;
  };
  HubResult<fs::path> got = std::unexpected(std::string("not run"));
  std::jthread downloader(
      [&] { got = download_hf({hub.base_url(), REPO, "r.bin", CACHE}, *bar, {DEFAULT_STALL_LIMIT, note_wait}); });
  await([&] { return waiting.load(); });
  ASSERT_GE(holder.load(), 0);
  EXPECT_EQ(hub.file_hits(REPO, "r.bin"), 1);
  ::close(holder);
  downloader.join();
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(read_file(CACHE / "r.bin") == body);
  EXPECT_EQ(hub.file_hits(REPO, "r.bin"), 2);
  EXPECT_EQ(cache_files(), std::vector<std::string>{"r.bin"});
}

// The interrupt check may change the working directory (a Python signal
// handler can): the body still goes where the download began.
TEST(DownloadTemporary, AChangeOfDirectoryWhileTheBodyArrivesMovesNothing) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  std::ignore = testing::hub_repo(hub, REPO);
  const std::string body = std::string(3000, 'c') + "end";
  std::atomic<bool> moved{false};
  hub.serve_file(REPO, "c.bin", held(body, 40, [&] { return moved.load(); }));
  fs::create_directories("elsewhere" / CACHE);
  auto bar = progress::ProgressBar::create();
  DownloadInterrupt move_away = [&]() -> std::optional<std::string> {
    if (!moved && bar->position() >= 40) {
      fs::current_path("elsewhere");
      moved = true;
    }
    return std::nullopt;
  };
  auto got = download_hf({hub.base_url(), REPO, "c.bin", CACHE}, *bar, {DEFAULT_STALL_LIMIT, move_away});
  fs::current_path(scratch.path());
  ASSERT_TRUE(moved);
  ASSERT_TRUE(got) << got.error();
  EXPECT_TRUE(read_file(CACHE / "c.bin") == body);
  EXPECT_EQ(cache_files(), std::vector<std::string>{"c.bin"});
  EXPECT_TRUE(fs::is_empty("elsewhere" / CACHE));
}

}  // namespace
}  // namespace varkel
