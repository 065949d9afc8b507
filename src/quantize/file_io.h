#pragma once
// Small file helpers whose failures read like the platform's I/O errors
// ("No such file or directory (os error 2)").
//
// Every file of a model directory is written under a temporary name next to
// its final one and renamed into place only once its bytes are on disk, so a
// name that exists always holds a whole file.

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "quantize/quant_result.h"

namespace varkel {

// The whole file as UTF-8 text.
QuantResult<std::string> read_text(const std::filesystem::path& path);

// Writes `bytes` to `path` as one whole file (created or replaced).
QuantResult<void> write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Copies the bytes of the regular file `from` to `to` (created or replaced).
QuantResult<void> copy_whole_file(const std::filesystem::path& from, const std::filesystem::path& to);

// The name a file is written under until it is complete.
std::filesystem::path partial_path(const std::filesystem::path& path);
inline constexpr std::string_view kPartialSuffix = ".partial";

// Removes the file (or link) at `path` if there is one; a directory there is
// left alone.
QuantResult<void> remove_file(const std::filesystem::path& path);

// A file written front to back under partial_path(path). commit() flushes it
// to disk and renames it to `path`; destroyed uncommitted, it is removed.
class OutputFile {
 public:
  static QuantResult<OutputFile> create(const std::filesystem::path& path);
  OutputFile(OutputFile&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), partial_(std::exchange(other.partial_, {})) {}
  OutputFile& operator=(OutputFile&& other) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  QuantResult<void> write_all(std::span<const uint8_t> bytes);
  QuantResult<void> write_zeros(std::size_t count);
  QuantResult<void> commit();

 private:
  OutputFile(int fd, std::filesystem::path path, std::filesystem::path partial)
      : fd_(fd), path_(std::move(path)), partial_(std::move(partial)) {}
  void discard();

  int fd_ = -1;
  std::filesystem::path path_, partial_;  // partial_ is empty once committed
};

}  // namespace varkel
