#include "hf_util/part_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <mutex>
#include <utility>
#include <vector>

namespace varkel {

namespace fs = std::filesystem;

namespace {

// Another download's success removes the directory of temporaries when it is
// empty, between our mkdir and our open at worst: then we make it again.
constexpr int OPEN_ATTEMPTS = 100;

// Descriptors of temporaries, which carry their locks. A child forked while a
// download runs would hold copies, and with them the lock, as long as it
// lives: every later attempt at that file would wait for it, the child's own
// too. The child trades its copies for /dev/null, so the numbers stay valid
// for whoever owns them and the lock stays with the parent alone.
class TemporaryDescriptors {
 public:
  static TemporaryDescriptors& instance() {
    static TemporaryDescriptors* registry = [] {
      auto* made = new TemporaryDescriptors;  // lives on for the fork handlers
      ::pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                       [] { instance().drop_in_child(); });
      return made;
    }();
    return *registry;
  }

  // Runs `open`, which returns a new descriptor or -1, with no fork in
  // between, and remembers the descriptor.
  template <class Open>
  int open(Open&& open) {
    std::lock_guard lock(mutex_);
    const int fd = open();
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }

  // The errno of a failed close, or 0.
  int close(int& fd) {
    if (fd < 0) return 0;
    std::lock_guard lock(mutex_);
    std::erase(fds_, fd);
    const int code = ::close(fd) == 0 ? 0 : errno;
    fd = -1;
    return code;
  }

 private:
  // Only async-signal-safe calls: the child of a threaded process.
  void drop_in_child() {
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (int fd : fds_) {
      if (null_fd >= 0) ::dup3(null_fd, fd, O_CLOEXEC);
      else ::close(fd);
    }
    if (null_fd >= 0) ::close(null_fd);
    // The child owns none of these: numbers it reuses for its own files must
    // not turn into /dev/null in its children. Clearing frees no memory.
    fds_.clear();
    mutex_.unlock();
  }

  std::mutex mutex_;
  std::vector<int> fds_;
};

int close_fd(int& fd) { return TemporaryDescriptors::instance().close(fd); }

// The directory of temporaries below `dir_fd`, never through a link: one
// planted there would send the body outside the repository.
int open_partial_dir(int dir_fd) {
  return ::openat(dir_fd, PARTIAL_DIR, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The destination's directory, for lookups relative to it.
int open_parent(const fs::path& destination) {
  const fs::path parent = destination.parent_path();
  return ::open(parent.empty() ? "." : parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Whether `name` in `dir`, not followed if a link, is the open file `file`
// describes: a lock or a body counts only for the file it was taken on.
bool names_file(int dir, const std::string& name, const struct stat& file) {
  struct stat named{};
  return ::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == file.st_dev &&
         named.st_ino == file.st_ino;
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
  struct Descriptors {
    int dir = -1, partial_dir = -1, file = -1;
    ~Descriptors() {
      close_fd(file);
      close_fd(partial_dir);
      close_fd(dir);
    }
  } d;
  const std::string name = destination.filename().string();
  auto& registry = TemporaryDescriptors::instance();
  if ((d.dir = open_parent(destination)) < 0 || (d.partial_dir = open_partial_dir(d.dir)) < 0) return false;
  // Read access suffices for the lock; write access serves a temporary
  // left unreadable by a narrow umask.
  for (int mode : {O_RDONLY, O_WRONLY}) {
    d.file = registry.open(
        [&] { return ::openat(d.partial_dir, name.c_str(), mode | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
    if (d.file >= 0 || errno != EACCES) break;
  }
  if (d.file < 0) return false;
  struct stat st{};
  // A shared lock, if taken, goes with the descriptor.
  return ::fstat(d.file, &st) == 0 && S_ISREG(st.st_mode) && ::flock(d.file, LOCK_SH | LOCK_NB) != 0 &&
         errno == EWOULDBLOCK;
}

std::expected<PartFile, int> PartFile::create(const fs::path& destination) {
  const int dir_fd = open_parent(destination);
  if (dir_fd < 0) return std::unexpected(errno);
  PartFile file(dir_fd, destination.filename().string(), -1, -1);
  auto& registry = TemporaryDescriptors::instance();
  for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
    close_fd(file.fd_);
    close_fd(file.partial_dir_fd_);
    if (::mkdirat(dir_fd, PARTIAL_DIR, 0777) != 0 && errno != EEXIST) return std::unexpected(errno);
    file.partial_dir_fd_ = open_partial_dir(dir_fd);
    if (file.partial_dir_fd_ < 0) {
      if (errno == ENOENT) continue;
      return std::unexpected(errno);
    }
    // No link is followed, and a pipe put there cannot block the open.
    file.fd_ = registry.open([&] {
      return ::openat(file.partial_dir_fd_, file.name_.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                      0666);
    });
    if (file.fd_ < 0) {
      if (errno == ENOENT) continue;
      return std::unexpected(errno);
    }
    if (::flock(file.fd_, LOCK_EX | LOCK_NB) != 0) return std::unexpected(errno == EWOULDBLOCK ? BUSY : errno);
    // The lock counts only while the path still names the locked file: the
    // download that held it may have renamed it into place meanwhile.
    struct stat locked{};
    if (::fstat(file.fd_, &locked) != 0) return std::unexpected(errno);
    if (!names_file(file.partial_dir_fd_, file.name_, locked)) continue;
    if (!S_ISREG(locked.st_mode)) return std::unexpected(EINVAL);
    // A hard link planted here names a file elsewhere too: it keeps its bytes.
    if (locked.st_nlink > 1) return std::unexpected(EMLINK);
    // What an earlier attempt left: start again from byte 0.
    if (::ftruncate(file.fd_, 0) != 0) return std::unexpected(errno);
    file.lock_fd_ = registry.open([&] { return ::fcntl(file.fd_, F_DUPFD_CLOEXEC, 0); });
    if (file.lock_fd_ < 0) return std::unexpected(errno);
    return file;
  }
  return std::unexpected(ENOENT);
}

PartFile::PartFile(PartFile&& other) noexcept
    : dir_fd_(std::exchange(other.dir_fd_, -1)),
      partial_dir_fd_(std::exchange(other.partial_dir_fd_, -1)),
      name_(std::move(other.name_)),
      fd_(std::exchange(other.fd_, -1)),
      lock_fd_(std::exchange(other.lock_fd_, -1)) {}

int PartFile::close() {
  return close_fd(fd_);
}

int PartFile::install() {
  // Only the file written here goes into place: the name may have been
  // removed meanwhile and taken by another download, and a forked child's
  // descriptors are /dev/null.
  struct stat locked{};
  if (::fstat(lock_fd_, &locked) != 0) return errno;
  if (!names_file(partial_dir_fd_, name_, locked)) return REPLACED;
  if (::renameat(partial_dir_fd_, name_.c_str(), dir_fd_, name_.c_str()) != 0) return errno;
  // Fails while other temporaries are there; they keep the directory.
  ::unlinkat(dir_fd_, PARTIAL_DIR, AT_REMOVEDIR);
  close_fd(lock_fd_);
  return 0;
}

PartFile::~PartFile() {
  close_fd(fd_);
  close_fd(lock_fd_);
  close_fd(partial_dir_fd_);
  close_fd(dir_fd_);
}

}  // namespace varkel
