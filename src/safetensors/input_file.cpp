#include "safetensors/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "error/io_error.h"

namespace varkel::detail {

namespace {

std::unexpected<std::string> os_error(int code) { return std::unexpected(IoError::from_os(code).to_string()); }

constexpr std::size_t kChunk = std::size_t{1} << 20;

}  // namespace

std::expected<InputFile, std::string> InputFile::open(const std::filesystem::path& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return os_error(errno);
  return InputFile(fd);
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<void, std::string> InputFile::seek(uint64_t offset) {
  if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) return os_error(EINVAL);
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return os_error(errno);
  position_ = offset;
  return {};
}

std::expected<void, std::string> InputFile::read_exact(void* dst, std::size_t n) {
  auto* out = static_cast<uint8_t*>(dst);
  while (n > 0) {
    const ssize_t got = ::read(fd_, out, std::min<std::size_t>(n, std::numeric_limits<ssize_t>::max()));
    if (got < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (got == 0) return std::unexpected(std::string(kShortReadText));
    out += got;
    n -= static_cast<std::size_t>(got);
    position_ += static_cast<uint64_t>(got);
  }
  return {};
}

std::expected<std::vector<uint8_t>, std::string> InputFile::read_bytes(uint64_t n) {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return os_error(errno);
  if (S_ISREG(info.st_mode)) {
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    const uint64_t available = position_ < size ? size - position_ : 0;
    if (n > available) return std::unexpected(std::string(kShortReadText));
    std::vector<uint8_t> bytes(static_cast<std::size_t>(n));
    if (auto read = read_exact(bytes.data(), bytes.size()); !read) return std::unexpected(std::move(read.error()));
    return bytes;
  }
  std::vector<uint8_t> bytes;
  while (bytes.size() < n) {
    const std::size_t done = bytes.size();
    const std::size_t step = static_cast<std::size_t>(std::min<uint64_t>(kChunk, n - done));
    bytes.resize(done + step);
    if (auto read = read_exact(bytes.data() + done, step); !read) return std::unexpected(std::move(read.error()));
  }
  return bytes;
}

}  // namespace varkel::detail
