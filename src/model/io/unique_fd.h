#pragma once
// An owned POSIX file descriptor, closed on destruction.

#include <expected>
#include <filesystem>
#include <utility>

#include "error/io_error.h"

namespace varkel {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  // open(2) with O_CLOEXEC added; the error keeps the OS code.
  static std::expected<UniqueFd, IoError> open(const std::filesystem::path& path, int flags, int mode = 0);

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

}  // namespace varkel
