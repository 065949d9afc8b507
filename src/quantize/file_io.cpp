#include "quantize/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "error/io_error.h"
#include "model/io/text_file.h"

namespace varkel {

namespace {

std::unexpected<std::string> os_error(int code) { return std::unexpected(IoError::from_os(code).to_string()); }

QuantResult<void> write_fd(int fd, const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return quant_error("failed to write whole buffer");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

bool has_nul(const std::filesystem::path& path) { return path.native().find('\0') != std::string::npos; }

int open_for_writing(const std::filesystem::path& path) {
  // The OS would act on the name cut at its first NUL.
  if (has_nul(path)) {
    errno = EINVAL;
    return -1;
  }
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

}  // namespace

QuantResult<std::string> read_text(const std::filesystem::path& path) {
  auto text = read_text_file(path);
  if (!text) return quant_error(text.error().to_string());
  return std::move(*text);
}

QuantResult<void> write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  const std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (auto written = write_whole_file(path, view); !written) return quant_error(written.error().to_string());
  return {};
}

QuantResult<void> create_dir_all(const std::filesystem::path& path) {
  if (has_nul(path)) return quant_error("file name contained an unexpected NUL byte");
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) return os_error(ec.value());
  return {};
}

QuantResult<OutputFile> OutputFile::create(const std::filesystem::path& path) {
  const int fd = open_for_writing(path);
  if (fd < 0) return os_error(errno);
  return OutputFile(fd);
}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

QuantResult<void> OutputFile::write_all(std::span<const uint8_t> bytes) {
  return write_fd(fd_, bytes.data(), bytes.size());
}

QuantResult<void> OutputFile::write_zeros(std::size_t count) {
  static constexpr uint8_t kZeros[64] = {};
  while (count > 0) {
    const std::size_t n = count < sizeof kZeros ? count : sizeof kZeros;
    if (auto written = write_fd(fd_, kZeros, n); !written) return written;
    count -= n;
  }
  return {};
}

}  // namespace varkel
