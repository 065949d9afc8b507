#include "quantize/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

QuantResult<void> check_name(const std::filesystem::path& path) {
  // The OS would act on the name cut at its first NUL.
  if (has_nul(path)) return quant_error("file name contained an unexpected NUL byte");
  return {};
}

// Makes a rename in `dir` durable.
void sync_directory(const std::filesystem::path& dir) {
  const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

QuantResult<std::string> read_text(const std::filesystem::path& path) {
  auto text = read_text_file(path);
  if (!text) return quant_error(text.error().to_string());
  return std::move(*text);
}

QuantResult<void> write_file(const std::filesystem::path& path, std::span<const uint8_t> bytes) {
  auto file = OutputFile::create(path);
  if (!file) return std::unexpected(std::move(file.error()));
  if (auto written = file->write_all(bytes); !written) return written;
  return file->commit();
}

QuantResult<void> copy_whole_file(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (auto valid = check_name(from); !valid) return valid;
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return os_error(errno);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{in};
  struct stat st {};
  if (::fstat(in, &st) != 0) return os_error(errno);
  if (!S_ISREG(st.st_mode)) return quant_error("the source path is neither a regular file nor a symlink to a regular file");

  auto out = OutputFile::create(to);
  if (!out) return std::unexpected(std::move(out.error()));
  uint8_t chunk[1 << 16];
  for (;;) {
    const ssize_t n = ::read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return os_error(errno);
    if (n == 0) break;
    if (auto written = out->write_all({chunk, static_cast<std::size_t>(n)}); !written) return written;
  }
  return out->commit();
}

std::filesystem::path partial_path(const std::filesystem::path& path) {
  std::filesystem::path partial = path;
  partial += kPartialSuffix;
  return partial;
}

QuantResult<void> remove_file(const std::filesystem::path& path) {
  if (auto valid = check_name(path); !valid) return valid;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return os_error(errno);
  return {};
}

QuantResult<OutputFile> OutputFile::create(const std::filesystem::path& path) {
  if (auto valid = check_name(path); !valid) return std::unexpected(std::move(valid.error()));
  std::filesystem::path partial = partial_path(path);
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  return OutputFile(fd, path, std::move(partial));
}

void OutputFile::discard() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  if (!partial_.empty()) ::unlink(partial_.c_str());
  partial_.clear();
}

OutputFile::~OutputFile() { discard(); }

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

QuantResult<void> OutputFile::commit() {
  // On disk before it has the name, so the name never shows a file that a
  // crash could leave short.
  if (::fdatasync(fd_) != 0) {
    const int code = errno;
    discard();
    return os_error(code);
  }
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    const int code = errno;
    discard();
    return os_error(code);
  }
  if (::rename(partial_.c_str(), path_.c_str()) != 0) {
    const int code = errno;
    discard();
    return os_error(code);
  }
  partial_.clear();
  sync_directory(path_.parent_path());
  return {};
}

}  // namespace varkel
