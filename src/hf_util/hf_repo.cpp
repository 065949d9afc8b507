#include "hf_util/hf_repo.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iostream>
#include <set>

#include <fmt/format.h>

#include "error/create_dir_all.h"
#include "error/debug_quote.h"
#include "hf_util/http_get.h"
#include "hf_util/part_file.h"
#include "hf_util/utf8_lossy.h"

namespace varkel {

namespace fs = std::filesystem;

namespace {

constexpr size_t LISTING_LIMIT = 10'485'760;

std::string os_error_text(int code) { return IoError::from_os(code).to_string(); }

// Closes a directory stream on every path out.
struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// Entry names of `dir` without "." and "..", in directory order.
std::expected<std::vector<std::string>, IoError> read_dir_names(const fs::path& dir) {
  DirHandle handle(::opendir(dir.c_str()));
  if (!handle) return std::unexpected(IoError::last_os_error());
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(handle.get());
    if (!entry) {
      if (errno != 0) return std::unexpected(IoError::last_os_error());
      break;
    }
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  return names;
}

// The sink of a listing: the whole body as text, up to the listing limit.
class ListingSink : public HttpSink {
 public:
  std::optional<std::string> on_head(const HttpHead&) override { return std::nullopt; }
  std::optional<std::string> on_data(const char* data, size_t size) override {
    if (size > LISTING_LIMIT - body_.size())
      return fmt::format("read API response: response body is larger than the limit of {} bytes", LISTING_LIMIT);
    body_.append(data, size);
    return std::nullopt;
  }
  std::string take() { return std::move(body_); }

 private:
  std::string body_;
};

// What a JSON value is called when it is not the array a listing must be.
std::string unexpected_kind(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: return "map";
    case nlohmann::json::value_t::string: return fmt::format("string {}", debug_quoted(value.get<std::string>()));
    case nlohmann::json::value_t::boolean: return fmt::format("boolean `{}`", value.get<bool>());
    case nlohmann::json::value_t::number_unsigned: return fmt::format("integer `{}`", value.get<uint64_t>());
    case nlohmann::json::value_t::number_integer: return fmt::format("integer `{}`", value.get<int64_t>());
    case nlohmann::json::value_t::number_float: {
      double d = value.get<double>();
      return std::isfinite(d) && d == std::floor(d) ? fmt::format("floating point `{}.0`", d)
                                                     : fmt::format("floating point `{}`", d);
    }
    case nlohmann::json::value_t::null: return "unit value";
    default: return "value";
  }
}

// 1-based line and column of the first non-blank character.
std::pair<size_t, size_t> first_value_position(std::string_view text) {
  size_t line = 1, column = 1;
  for (char c : text) {
    if (c == '\n') {
      ++line;
      column = 1;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      ++column;
    } else {
      break;
    }
  }
  return {line, column};
}

std::optional<uint64_t> entry_size(const nlohmann::json& entry) {
  auto it = entry.find("size");
  if (it == entry.end()) return std::nullopt;
  if (it->is_number_unsigned()) return it->get<uint64_t>();
  if (it->is_number_integer() && it->get<int64_t>() >= 0) return static_cast<uint64_t>(it->get<int64_t>());
  return std::nullopt;
}

const std::string* entry_path(const nlohmann::json& entry) {
  if (!entry.is_object()) return nullptr;
  auto it = entry.find("path");
  if (it == entry.end() || !it->is_string()) return nullptr;
  return it->get_ptr<const std::string*>();
}

void sort_sizes(std::vector<FileSize>& sizes) { std::sort(sizes.begin(), sizes.end()); }

std::expected<void, IoError> walk(const fs::path& dir, const std::string& prefix, std::vector<FileSize>& out) {
  auto names = read_dir_names(dir);
  if (!names) return std::unexpected(names.error());
  for (const std::string& name : *names) {
    fs::path entry = dir / name;
    struct stat st{};
    if (::lstat(entry.c_str(), &st) != 0) return std::unexpected(IoError::last_os_error());
    if (S_ISDIR(st.st_mode)) {
      if (auto sub = walk(entry, prefix + name + "/", out); !sub) return sub;
    } else if (S_ISREG(st.st_mode)) {
      out.emplace_back(utf8_lossy(prefix + name), static_cast<uint64_t>(st.st_size));
    }
  }
  return {};
}

}  // namespace

namespace {

// The first reason `judge` gives for a "/"-separated component of `name`, or nothing.
template <class Judge>
std::string_view component_reason(std::string_view name, Judge judge) {
  for (std::string_view rest = name;;) {
    const size_t slash = rest.find('/');
    if (std::string_view reason = judge(rest.substr(0, slash)); !reason.empty()) return reason;
    if (slash == std::string_view::npos) return {};
    rest.remove_prefix(slash + 1);
  }
}

// Why `name` would leave the repository, or nothing.
std::string_view leaving_reason(std::string_view name) {
  if (name.empty()) return "the name is empty";
  if (name.front() == '/') return "absolute paths are not allowed";
  if (name.find('\0') != std::string_view::npos) return "the name contains a NUL byte";
  return component_reason(name, [](std::string_view part) -> std::string_view {
    return part == ".." ? "\"..\" would leave the repository" : "";
  });
}

// Why `name`, which stays inside, names a directory rather than a file ("."
// or "sub/"), or nothing.
std::string_view directory_reason(std::string_view name) {
  bool root = true;
  std::string_view last;
  for (std::string_view rest = name;;) {
    const size_t slash = rest.find('/');
    last = rest.substr(0, slash);
    root = root && (last.empty() || last == ".");
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  if (root) return "the name is the repository directory";
  if (last.empty() || last == ".") return "the name ends in a directory";
  return {};
}

// Why `name` passes through the directory that holds the temporaries of
// downloads, or nothing: no repository file may be one of them.
std::string_view reserved_reason(std::string_view name) {
  static const std::string reserved = fmt::format("the directory \"{}\" holds partial downloads", PARTIAL_DIR);
  return component_reason(name, [](std::string_view part) -> std::string_view {
    return is_partial_dir_name(part) ? std::string_view(reserved) : "";
  });
}

HubResult<void> refuse_name(std::string_view name, std::string_view reason) {
  if (reason.empty()) return {};
  return std::unexpected(fmt::format("invalid file name {}: {}", debug_quoted(name), reason));
}

}  // namespace

HubResult<void> check_file_name(std::string_view name) {
  std::string_view reason = leaving_reason(name);
  if (reason.empty()) reason = directory_reason(name);
  if (reason.empty()) reason = reserved_reason(name);
  return refuse_name(name, reason);
}

HubResult<HfRepo> HfRepo::from_hf(std::string_view repo_id) { return from_hf(repo_id, std::string(HF_BASE_URL)); }

HubResult<HfRepo> HfRepo::from_hf(std::string_view repo_id, std::string base_url) {
  std::cerr << fmt::format("  Input '{}' not found locally — treating as HF repo ID\n", repo_id);
  std::string dir = "hub/models--";
  for (char c : repo_id) {
    if (c == '/') dir += "--";
    else dir += c;
  }
  if (auto made = create_dir_all(dir); !made) return std::unexpected(made.error().to_string());
  return HfRepo(std::string(repo_id), fs::path(dir), std::move(base_url));
}

HfRepo HfRepo::local(fs::path dir) { return HfRepo(std::nullopt, std::move(dir), std::string(HF_BASE_URL)); }

HubResult<std::vector<nlohmann::json>> fetch_tree(std::string_view repo_id, std::string_view base_url) {
  std::string url = fmt::format("{}/api/models/{}/tree/main", base_url, repo_id);
  auto stall_limit = stall_limit_from_env();
  if (!stall_limit) return std::unexpected(stall_limit.error());
  ListingSink sink;
  if (auto got = http_get(url, sink, {*stall_limit, {}}); !got) {
    const HttpError& e = got.error();
    switch (e.stage) {
      case HttpError::Stage::Request: return std::unexpected("HF API error: " + e.text);
      case HttpError::Stage::Body: return std::unexpected("read API response: " + e.text);
      case HttpError::Stage::Sink: return std::unexpected(e.text);
      case HttpError::Stage::Interrupted: return std::unexpected("interrupted: " + e.text);
    }
  }
  std::string text = sink.take();
  if (!is_valid_utf8(text)) return std::unexpected(std::string("read API response: stream did not contain valid UTF-8"));
  nlohmann::json value;
  try {
    value = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    return std::unexpected(std::string(e.what()));
  }
  if (!value.is_array()) {
    auto [line, column] = first_value_position(text);
    return std::unexpected(
        fmt::format("invalid type: {}, expected a sequence at line {} column {}", unexpected_kind(value), line, column));
  }
  std::vector<nlohmann::json> entries;
  entries.reserve(value.size());
  for (auto& entry : value) entries.push_back(std::move(entry));
  return entries;
}

std::expected<void, IoError> walk_sizes(const fs::path& base, const fs::path& dir, std::vector<FileSize>& out) {
  fs::path relative = dir.lexically_relative(base);
  std::string prefix;
  if (!relative.empty() && relative != ".") prefix = relative.generic_string() + "/";
  return walk(dir, prefix, out);
}

HubResult<std::vector<std::string>> HfRepo::ls(std::optional<std::string_view> dir) const {
  const bool root = !dir || dir->empty();
  if (!is_hf()) {
    if (!root) {
      if (auto ok = refuse_name(*dir, leaving_reason(*dir)); !ok) return std::unexpected(ok.error());
    }
    auto names = read_dir_names(root ? path_ : path_ / fs::path(*dir));
    if (!names) return std::unexpected(names.error().to_string());
    std::vector<std::string> out;
    out.reserve(names->size());
    for (const auto& n : *names) out.push_back(utf8_lossy(n));
    std::sort(out.begin(), out.end());
    return out;
  }
  auto tree = fetch_tree(*repo_id_, base_url_);
  if (!tree) return std::unexpected(tree.error());
  const std::string prefix = root ? std::string() : std::string(*dir) + "/";
  std::set<std::string> names;
  for (const auto& entry : *tree) {
    const std::string* p = entry_path(entry);
    if (!p) continue;
    std::string_view rest = *p;
    if (!root) {
      if (!rest.starts_with(prefix)) continue;
      rest.remove_prefix(prefix.size());
    }
    size_t slash = rest.find('/');
    if (slash != std::string_view::npos) names.emplace(rest.substr(0, slash));
    else if (!rest.empty()) names.emplace(rest);
  }
  return std::vector<std::string>(names.begin(), names.end());
}

HubResult<uint64_t> HfRepo::file_size(std::string_view name) const {
  if (!is_hf()) {
    if (auto ok = check_file_name(name); !ok) return std::unexpected(ok.error());
    struct stat st{};
    if (::stat((path_ / fs::path(name)).c_str(), &st) != 0) return std::unexpected(os_error_text(errno));
    return static_cast<uint64_t>(st.st_size);
  }
  auto tree = fetch_tree(*repo_id_, base_url_);
  if (!tree) return std::unexpected(tree.error());
  for (const auto& entry : *tree) {
    const std::string* p = entry_path(entry);
    if (!p || *p != name) continue;
    if (auto size = entry_size(entry)) return *size;
    break;
  }
  return std::unexpected(fmt::format("file not found in tree: {}", name));
}

HubResult<std::vector<FileSize>> HfRepo::file_sizes() const {
  std::vector<FileSize> sizes;
  if (!is_hf()) {
    if (auto walked = walk_sizes(path_, path_, sizes); !walked) return std::unexpected(walked.error().to_string());
    sort_sizes(sizes);
    return sizes;
  }
  auto tree = fetch_tree(*repo_id_, base_url_);
  if (!tree) return std::unexpected(tree.error());
  for (const auto& entry : *tree) {
    const std::string* p = entry_path(entry);
    if (!p) continue;
    auto type = entry.find("type");
    if (type == entry.end() || !type->is_string() || type->get<std::string>() != "file") continue;
    if (auto size = entry_size(entry)) sizes.emplace_back(*p, *size);
  }
  sort_sizes(sizes);
  return sizes;
}

void HfRepo::remove(std::string_view name) const {
  if (!check_file_name(name)) return;
  ::unlink((path_ / fs::path(name)).c_str());
}

}  // namespace varkel
