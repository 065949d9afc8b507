#include "hf_util/part_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <utility>

namespace varkel {

namespace fs = std::filesystem;

namespace {

// Another download's success removes the directory of temporaries when it is
// empty, between our mkdir and our open at worst: then we make it again.
constexpr int OPEN_ATTEMPTS = 100;

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

bool is_partial_dir_name(std::string_view component) {
  return std::ranges::equal(component, std::string_view(PARTIAL_DIR), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

fs::path partial_path_for(const fs::path& destination) {
  return destination.parent_path() / PARTIAL_DIR / destination.filename();
}

Presence presence_of(const fs::path& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return Presence::Absent;
  return S_ISREG(st.st_mode) ? Presence::RegularFile : Presence::Other;
}

bool partial_in_use(const fs::path& destination) {
  const fs::path temp = partial_path_for(destination);
  // Read access suffices for the lock; write access serves a temporary
  // left unreadable by a narrow umask.
  int fd = ::open(temp.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(temp.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  const bool held = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_SH | LOCK_NB) != 0 &&
                    errno == EWOULDBLOCK;
  ::close(fd);  // drops the shared lock, if taken
  return held;
}

std::string PartFile::temp_name() const { return std::string(PARTIAL_DIR) + "/" + name_; }

std::expected<PartFile, int> PartFile::create(const fs::path& destination) {
  const fs::path parent = destination.parent_path();
  const int dir_fd = ::open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return std::unexpected(errno);
  PartFile file(dir_fd, destination.filename().string(), -1, -1);
  const std::string temp = file.temp_name();
  for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
    close_fd(file.fd_);
    if (::mkdirat(dir_fd, PARTIAL_DIR, 0777) != 0 && errno != EEXIST) return std::unexpected(errno);
    // No link is followed, and a pipe put there cannot block the open.
    file.fd_ = ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (file.fd_ < 0) {
      if (errno == ENOENT) continue;
      return std::unexpected(errno);
    }
    if (::flock(file.fd_, LOCK_EX | LOCK_NB) != 0) return std::unexpected(errno == EWOULDBLOCK ? BUSY : errno);
    // The lock counts only while the path still names the locked file: the
    // download that held it may have renamed it into place meanwhile.
    struct stat locked{}, named{};
    if (::fstat(file.fd_, &locked) != 0) return std::unexpected(errno);
    if (::fstatat(dir_fd, temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != locked.st_dev ||
        named.st_ino != locked.st_ino)
      continue;
    if (!S_ISREG(locked.st_mode)) return std::unexpected(EINVAL);
    // What an earlier attempt left: start again from byte 0.
    if (::ftruncate(file.fd_, 0) != 0) return std::unexpected(errno);
    file.lock_fd_ = ::fcntl(file.fd_, F_DUPFD_CLOEXEC, 0);
    if (file.lock_fd_ < 0) return std::unexpected(errno);
    return file;
  }
  return std::unexpected(ENOENT);
}

PartFile::PartFile(PartFile&& other) noexcept
    : dir_fd_(std::exchange(other.dir_fd_, -1)),
      name_(std::move(other.name_)),
      fd_(std::exchange(other.fd_, -1)),
      lock_fd_(std::exchange(other.lock_fd_, -1)) {}

int PartFile::close() {
  if (fd_ < 0) return 0;
  int code = ::close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  return code;
}

int PartFile::install() {
  if (::renameat(dir_fd_, temp_name().c_str(), dir_fd_, name_.c_str()) != 0) return errno;
  // Fails while other temporaries are there; they keep the directory.
  ::unlinkat(dir_fd_, PARTIAL_DIR, AT_REMOVEDIR);
  close_fd(lock_fd_);
  return 0;
}

PartFile::~PartFile() {
  close_fd(fd_);
  close_fd(lock_fd_);
  close_fd(dir_fd_);
}

}  // namespace varkel
