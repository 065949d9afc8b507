#include "model/io/text_file.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "model/io/regular_file.h"

namespace varkel {

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t extra;
    uint32_t min;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (n - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

}  // namespace

std::expected<void, IoError> read_exact(int fd, void* dest, size_t size) {
  auto* out = static_cast<char*>(dest);
  while (size > 0) {
    const ssize_t got = ::read(fd, out, size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (got == 0) return std::unexpected(IoError::custom(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
    out += got;
    size -= static_cast<size_t>(got);
  }
  return {};
}

std::expected<std::string, IoError> read_text_file(const std::filesystem::path& path) {
  auto file = open_regular_file(path);
  if (!file) return std::unexpected(file.error());
  std::string text;
  struct stat st {};
  if (::fstat(file->get(), &st) == 0 && st.st_size > 0) text.reserve(static_cast<size_t>(st.st_size));
  char chunk[8192];
  for (;;) {
    const ssize_t got = ::read(file->get(), chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (got == 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  if (!is_valid_utf8(text)) {
    return std::unexpected(IoError::custom(IoErrorKind::InvalidData, "stream did not contain valid UTF-8"));
  }
  return text;
}

std::expected<void, IoError> write_all(int fd, const void* bytes, size_t size) {
  const auto* p = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t put = ::write(fd, p, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::last_os_error());
    }
    if (put == 0) return std::unexpected(IoError::custom(IoErrorKind::WriteZero, "failed to write whole buffer"));
    p += put;
    size -= static_cast<size_t>(put);
  }
  return {};
}

std::expected<void, IoError> write_whole_file(const std::filesystem::path& path, std::string_view bytes) {
  auto file = UniqueFd::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (!file) return std::unexpected(file.error());
  return write_all(file->get(), bytes.data(), bytes.size());
}

}  // namespace varkel
