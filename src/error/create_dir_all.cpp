#include "error/create_dir_all.h"

#include <sys/stat.h>

#include <cerrno>

namespace varkel {

std::expected<void, IoError> create_dir_all(const std::filesystem::path& dir) {
  if (dir.empty()) return {};
  if (dir.native().find('\0') != std::string::npos) {
    return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  int code = errno;
  if (code == ENOENT && dir.has_parent_path() && dir.parent_path() != dir) {
    if (auto parent = create_dir_all(dir.parent_path()); !parent) return parent;
    if (::mkdir(dir.c_str(), 0777) == 0) return {};
    code = errno;
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return std::unexpected(IoError::from_os(code));
}

}  // namespace varkel
