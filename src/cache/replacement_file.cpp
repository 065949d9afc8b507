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

std::expected<ReplacementFile, IoError> ReplacementFile::create(const std::filesystem::path& target) {
  if (target.native().find('\0') != std::string::npos) {
    return std::unexpected(IoError::custom(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
  }
  const std::filesystem::path resolved = follow_links(target);
  auto dir = UniqueFd::open(directory_of(resolved), O_PATH | O_DIRECTORY);
  if (!dir) return std::unexpected(dir.error());
  // A path ending in a slash names the directory itself, which is refused below.
  std::string name = resolved.has_filename() ? resolved.filename().string() : std::string(".");

  std::optional<mode_t> old_mode;
  struct stat st {};
  if (::fstatat(dir->get(), name.c_str(), &st, 0) == 0) {
    if (!S_ISREG(st.st_mode)) {
      return std::unexpected(
          IoError::custom(IoErrorKind::InvalidInput,
                          fmt::format("{} is {}, not a regular file", target.string(), file_type_name(st.st_mode))));
    }
    // Replacing by rename needs only the directory's permission: keep the refusal a
    // write into the read-only file itself would give.
    if (::faccessat(dir->get(), name.c_str(), W_OK, AT_EACCESS) != 0) {
      return std::unexpected(IoError::last_os_error());
    }
    old_mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return std::unexpected(IoError::last_os_error());
  }

  // Hidden, unique within the process and, through the pid, between processes; a short
  // stem keeps the name within the file-system's limit.
  static std::atomic<unsigned> counter{0};
  const std::string stem = name.substr(0, 128);
  for (;;) {
    std::string temporary = fmt::format(".{}.{}-{}.tmp", stem, ::getpid(), counter++);
    const int fd = ::openat(dir->get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return std::unexpected(IoError::last_os_error());
    }
    ReplacementFile created(std::move(*dir), UniqueFd(fd), std::move(temporary), std::move(name));
    if (old_mode && ::fchmod(created.fd(), *old_mode) != 0) return std::unexpected(IoError::last_os_error());
    return created;
  }
}

ReplacementFile::ReplacementFile(ReplacementFile&& other) noexcept
    : dir_(std::move(other.dir_)),
      file_(std::move(other.file_)),
      temporary_(std::exchange(other.temporary_, {})),
      target_(std::move(other.target_)) {}

ReplacementFile::~ReplacementFile() {
  if (!temporary_.empty()) ::unlinkat(dir_.get(), temporary_.c_str(), 0);
}

bool ReplacementFile::same_target(const ReplacementFile& other) const {
  struct stat dir_a {}, dir_b {};
  if (::fstat(dir_.get(), &dir_a) == 0 && ::fstat(other.dir_.get(), &dir_b) == 0 && dir_a.st_dev == dir_b.st_dev &&
      dir_a.st_ino == dir_b.st_ino && target_ == other.target_)
    return true;
  struct stat file_a {}, file_b {};  // hard links
  return ::fstatat(dir_.get(), target_.c_str(), &file_a, 0) == 0 &&
         ::fstatat(other.dir_.get(), other.target_.c_str(), &file_b, 0) == 0 && file_a.st_dev == file_b.st_dev &&
         file_a.st_ino == file_b.st_ino;
}

std::expected<void, IoError> ReplacementFile::sync() {
  if (auto synced = sync_fd(file_.get()); !synced) return synced;
  file_.reset();
  return {};
}

std::expected<void, IoError> ReplacementFile::commit() {
  if (::renameat(dir_.get(), temporary_.c_str(), dir_.get(), target_.c_str()) != 0)
    return std::unexpected(IoError::last_os_error());
  temporary_.clear();
  // The rename itself reaches the disk with the directory. The new file is in place
  // either way, so a failure here is not reported as a failed save.
  if (const int synced_dir = ::openat(dir_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); synced_dir >= 0) {
    (void)sync_fd(synced_dir);
    ::close(synced_dir);
  }
  return {};
}

}  // namespace varkel
