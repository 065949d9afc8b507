#include "cache/replacement_file.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include <fmt/format.h>

#include "model/io/regular_file.h"

namespace varkel {

namespace {

std::expected<void, IoError> sync_fd(int fd) {
  int status;
  do {
    status = ::fsync(fd);
  } while (status != 0 && errno == EINTR);
  if (status != 0) return std::unexpected(IoError::last_os_error());
  return {};
}

// The file a chain of symlinks ends at, existing or not; `path` itself when it is no link.
std::filesystem::path follow_links(std::filesystem::path path) {
  for (int hops = 0; hops < 40; ++hops) {  // the kernel's own limit on a chain
    std::error_code error;
    if (!std::filesystem::is_symlink(path, error)) break;
    std::filesystem::path link = std::filesystem::read_symlink(path, error);
    if (error) break;
    path = link.is_absolute() ? link : path.parent_path() / link;
  }
  return path;
}

std::filesystem::path directory_of(const std::filesystem::path& path) {
  return path.has_parent_path() ? path.parent_path() : ".";
}

}  // namespace

bool names_one_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  // A NUL cuts a name short here; creating the file refuses it with its own error.
  if (a.native().find('\0') != std::string::npos || b.native().find('\0') != std::string::npos) return false;
  const std::filesystem::path target_a = follow_links(a), target_b = follow_links(b);
  std::error_code error;
  if (std::filesystem::equivalent(target_a, target_b, error)) return true;  // hard links too
  // A file not there yet is one name in one directory. The directory is known by what
  // the kernel resolves it to, as the file will be created there: "c.bin", "./c.bin",
  // its absolute path and "sub/../c.bin" are one directory however differently spelled.
  struct stat dir_a {}, dir_b {};
  if (::stat(directory_of(target_a).c_str(), &dir_a) != 0 || ::stat(directory_of(target_b).c_str(), &dir_b) != 0) {
    // No such directory: the save cannot create either file.
    return target_a.lexically_normal() == target_b.lexically_normal();
  }
  return dir_a.st_dev == dir_b.st_dev && dir_a.st_ino == dir_b.st_ino && target_a.filename() == target_b.filename();
}

std::expected<ReplacementFile, IoError> ReplacementFile::create(const std::filesystem::path& target) {
  if (target.native().find('\0') != std::string::npos) {
    return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  std::filesystem::path resolved = follow_links(target);

  std::optional<mode_t> old_mode;
  struct stat st {};
  if (::stat(resolved.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      return std::unexpected(
          IoError::custom(IoErrorKind::InvalidInput,
                          fmt::format("{} is {}, not a regular file", target.string(), file_type_name(st.st_mode))));
    }
    // Replacing by rename needs only the directory's permission: keep the refusal a
    // write into the read-only file itself would give.
    if (::faccessat(AT_FDCWD, resolved.c_str(), W_OK, AT_EACCESS) != 0) {
      return std::unexpected(IoError::last_os_error());
    }
    old_mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return std::unexpected(IoError::last_os_error());
  }

  const std::filesystem::path dir = directory_of(resolved);
  // Hidden, unique within the process and, through the pid, between processes; a short
  // stem keeps the name within the file-system's limit.
  static std::atomic<unsigned> counter{0};
  const std::string stem = resolved.filename().string().substr(0, 128);
  for (;;) {
    std::filesystem::path temporary = dir / fmt::format(".{}.{}-{}.tmp", stem, ::getpid(), counter++);
    auto file = UniqueFd::open(temporary, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (!file) {
      if (file.error().os_code() == EEXIST) continue;
      return std::unexpected(file.error());
    }
    ReplacementFile created(std::move(*file), std::move(temporary), std::move(resolved));
    if (old_mode && ::fchmod(created.fd(), *old_mode) != 0) return std::unexpected(IoError::last_os_error());
    return created;
  }
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : file_(std::move(other.file_)),
      temporary_(std::exchange(other.temporary_, {})),
      target_(std::move(other.target_)) {}

ReplacementFile::~ReplacementFile() {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
}

std::expected<void, IoError> ReplacementFile::sync() {
  if (auto synced = sync_fd(file_.get()); !synced) return synced;
  file_.reset();
  return {};
}

std::expected<void, IoError> ReplacementFile::commit() {
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) return std::unexpected(IoError::last_os_error());
  temporary_.clear();
  // The rename itself reaches the disk with the directory. The new file is in place
  // either way, so a failure here is not reported as a failed save.
  const std::filesystem::path dir = directory_of(target_);
  if (auto dir_fd = UniqueFd::open(dir, O_RDONLY | O_DIRECTORY)) (void)sync_fd(dir_fd->get());
  return {};
}

}  // namespace varkel
