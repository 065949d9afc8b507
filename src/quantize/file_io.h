#pragma once
// Small file helpers whose failures read like the platform's I/O errors
// ("No such file or directory (os error 2)").

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

// Creates or truncates `path` and writes `bytes` with one call sequence, whole.
QuantResult<void> write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// Like `mkdir -p` with mode 0777 before the umask; an existing directory is fine.
QuantResult<void> create_dir_all(const std::filesystem::path& path);

// An open file written front to back; closed on destruction.
class OutputFile {
 public:
  static QuantResult<OutputFile> create(const std::filesystem::path& path);
  OutputFile(OutputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  QuantResult<void> write_all(std::span<const uint8_t> bytes);
  QuantResult<void> write_zeros(std::size_t count);

 private:
  explicit OutputFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace varkel
