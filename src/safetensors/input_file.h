#pragma once
// A file opened read-only, with the reads the safetensors reader needs.
// Errors are the I/O error's display text.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace varkel::detail {

inline constexpr const char* kShortReadText = "failed to fill whole buffer";

class InputFile {
 public:
  static std::expected<InputFile, std::string> open(const std::filesystem::path& path);

  InputFile(InputFile&& other) noexcept : fd_(other.fd_), position_(other.position_) { other.fd_ = -1; }
  InputFile& operator=(InputFile&&) = delete;
  InputFile(const InputFile&) = delete;
  ~InputFile();

  // Moves to an absolute offset.
  std::expected<void, std::string> seek(uint64_t offset);
  // Fills the whole of [dst, dst + n); the file ending first is a short read.
  std::expected<void, std::string> read_exact(void* dst, std::size_t n);
  // Exactly n bytes from the current position. A regular file too short to
  // hold them fails before anything is allocated; other files are read in
  // bounded chunks, so memory never runs ahead of the bytes received.
  std::expected<std::vector<uint8_t>, std::string> read_bytes(uint64_t n);

 private:
  explicit InputFile(int fd) : fd_(fd) {}
  int fd_;
  uint64_t position_ = 0;
};

}  // namespace varkel::detail
