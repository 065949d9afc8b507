#pragma once
// Handle on a set of model files: a model-hub repository mirrored on demand
// into a local cache directory, or a plain local directory. Every failure is a
// plain message string.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "error/io_error.h"
#include "hf_util/transfer_control.h"

namespace varkel {

// The public hub; listing and download URLs both start here (no trailing "/").
inline constexpr std::string_view HF_BASE_URL = "https://huggingface.co";

template <class T>
using HubResult = std::expected<T, std::string>;

// (name relative to the repository root with "/" separators, size in bytes)
using FileSize = std::pair<std::string, uint64_t>;

class HfRepo {
 public:
  // Hub handle for `repo_id`: prints the notice line, creates
  // "hub/models--<id with / as -->" below the working directory.
  static HubResult<HfRepo> from_hf(std::string_view repo_id);
  // The same against another server (tests point this at loopback).
  static HubResult<HfRepo> from_hf(std::string_view repo_id, std::string base_url);
  // Local handle on an existing directory.
  static HfRepo local(std::filesystem::path dir);

  bool is_hf() const { return repo_id_.has_value(); }
  const std::optional<std::string>& repo_id() const { return repo_id_; }
  // Cache directory of a hub handle (relative), or the local directory.
  const std::filesystem::path& path() const { return path_; }
  const std::string& base_url() const { return base_url_; }

  // Immediate children of `dir` (nullopt or "" = the root), sorted by bytes, each once.
  HubResult<std::vector<std::string>> ls(std::optional<std::string_view> dir = std::nullopt) const;
  HubResult<uint64_t> file_size(std::string_view name) const;
  // Every file with its size, sorted by name then size.
  HubResult<std::vector<FileSize>> file_sizes() const;

  // Local path of `name`, downloading it first when a hub cache lacks it.
  // Something there that is not a regular file (links followed) is refused.
  // `interrupted` is polled on the calling thread between chunks; when it
  // fires the download ends with "interrupted: " and its text, the partial
  // body kept only under the temporary name. While another thread or process
  // downloads the same file, this one waits for it (polling `interrupted`).
  HubResult<std::filesystem::path> ensure(std::string_view name, const DownloadInterrupt& interrupted = {}) const;
  // Local paths in request order; a hub handle downloads with one thread per
  // file and returns only after every thread has ended. The first failure in
  // request order is the result. `interrupted` is polled on the calling thread
  // while it waits; when it fires every download stops between chunks and the
  // result is "interrupted: " and its text.
  HubResult<std::vector<std::filesystem::path>> ensure_batch(const std::vector<std::string>& names,
                                                             const DownloadInterrupt& interrupted = {}) const;

  // Deletes the local copy; every failure is ignored.
  void remove(std::string_view name) const;

 private:
  HfRepo(std::optional<std::string> repo_id, std::filesystem::path path, std::string base_url)
      : repo_id_(std::move(repo_id)), path_(std::move(path)), base_url_(std::move(base_url)) {}

  std::optional<std::string> repo_id_;
  std::filesystem::path path_;
  std::string base_url_;
};

// One listing of the repository root on the main revision, entries in the
// server's order.
HubResult<std::vector<nlohmann::json>> fetch_tree(std::string_view repo_id,
                                                  std::string_view base_url = HF_BASE_URL);

// Appends (name relative to `base`, size) for every regular file below `dir`,
// depth first in directory order; symbolic links are neither followed nor listed.
std::expected<void, IoError> walk_sizes(const std::filesystem::path& base,
                                        const std::filesystem::path& dir,
                                        std::vector<FileSize>& out);

// Refuses names that are no file inside the repository: empty, absolute,
// with a ".." component, naming a directory ("." or ending in "/" or "/."),
// or passing through the directory of partial downloads (part_file.h).
HubResult<void> check_file_name(std::string_view name);

}  // namespace varkel
