#include "model/io/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace varkel {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void UniqueFd::reset() {
  if (fd_ >= 0) {
    // The descriptor is released by close even when it reports EINTR: never retry.
    ::close(fd_);
    fd_ = -1;
  }
}

std::expected<UniqueFd, IoError> UniqueFd::open(const std::filesystem::path& path, int flags, int mode) {
  // The OS would see the name cut at the first NUL and open another file.
  if (path.native().find('\0') != std::string::npos) {
    return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(IoError::last_os_error());
  return UniqueFd(fd);
}

}  // namespace varkel
