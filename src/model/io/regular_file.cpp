#include "model/io/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <fmt/format.h>

namespace varkel {

const char* file_type_name(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

std::expected<UniqueFd, IoError> open_regular_file(const std::filesystem::path& path) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  auto file = UniqueFd::open(path, O_RDONLY | O_NONBLOCK);
  if (!file) return file;
  struct stat st {};
  if (::fstat(file->get(), &st) != 0) return std::unexpected(IoError::last_os_error());
  if (!S_ISREG(st.st_mode)) {
    return std::unexpected(
        IoError::custom(IoErrorKind::InvalidInput,
                        fmt::format("{} is {}, not a regular file", path.string(), file_type_name(st.st_mode))));
  }
  // Reads of a regular file never wait; clear the flag anyway so they behave as plain reads.
  const int flags = ::fcntl(file->get(), F_GETFL);
  if (flags < 0 || ::fcntl(file->get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(IoError::last_os_error());
  }
  return file;
}

}  // namespace varkel
