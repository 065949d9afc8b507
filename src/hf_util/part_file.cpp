#include "hf_util/part_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include <fmt/format.h>

namespace varkel {

namespace fs = std::filesystem;

namespace {

// A path as the registry compares it: absolute (the cache directory is
// relative to the working directory of the moment) and without "." or "..".
fs::path key_of(const fs::path& path) {
  std::error_code failed;
  fs::path absolute = fs::absolute(path, failed);
  return (failed ? path : absolute).lexically_normal();
}

FileIdentity identity_of(const struct stat& st) { return {st.st_dev, st.st_ino, st.st_size, st.st_mtim}; }

bool same_file(const FileIdentity& a, const FileIdentity& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size && a.modified.tv_sec == b.modified.tv_sec &&
         a.modified.tv_nsec == b.modified.tv_nsec;
}

// What the downloads of this process hold, under one lock.
struct Registry {
  struct Leftover {
    fs::path path;
    FileIdentity identity;
  };

  std::mutex mutex;
  std::multiset<fs::path> destinations;
  std::set<fs::path> temporaries;
  std::map<fs::path, Leftover> leftovers;  // by destination: the last partial body left for it
  std::mt19937_64 random{std::random_device{}()};

  bool in_use(const fs::path& key) const { return temporaries.contains(key) || destinations.contains(key); }

  // The leftover of `destination`, opened and emptied, when it is still the
  // file that was left (a later file at that path is never touched).
  int reopen_leftover(const fs::path& destination, fs::path& path) {
    auto it = leftovers.find(destination);
    if (it == leftovers.end()) return -1;
    const Leftover left = it->second;
    leftovers.erase(it);
    if (in_use(key_of(left.path))) return -1;
    int fd = ::open(left.path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st{};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && same_file(identity_of(st), left.identity) &&
        ::ftruncate(fd, 0) == 0) {
      path = left.path;
      return fd;
    }
    ::close(fd);
    return -1;
  }
};

Registry& registry() {
  static Registry instance;
  return instance;
}

constexpr int NAME_ATTEMPTS = 100;

}  // namespace

bool present(const fs::path& path) {
  const fs::path key = key_of(path);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.temporaries.contains(key)) return false;
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return false;
  // Handed out as a file of its own now: never to be emptied as a leftover.
  std::erase_if(r.leftovers, [&](const auto& entry) { return key_of(entry.second.path) == key; });
  return true;
}

std::optional<DestinationClaim> DestinationClaim::take(const fs::path& destination) {
  fs::path key = key_of(destination);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.temporaries.contains(key)) return std::nullopt;
  r.destinations.insert(key);
  return DestinationClaim(std::move(key));
}

DestinationClaim::~DestinationClaim() {
  if (key_.empty()) return;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (auto it = r.destinations.find(key_); it != r.destinations.end()) r.destinations.erase(it);
}

std::expected<PartFile, int> PartFile::create(const fs::path& preferred, const fs::path& destination) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  fs::path path;
  int fd = r.reopen_leftover(key_of(destination), path);
  for (int attempt = 0; fd < 0; ++attempt) {
    if (attempt == NAME_ATTEMPTS) return std::unexpected(EEXIST);
    path = destination;
    if (attempt == 0) path = preferred;
    else path.replace_extension(fmt::format("{:08x}.part", r.random() & 0xFFFFFFFFu));
    if (r.in_use(key_of(path))) continue;
    // Exclusive: whatever is already there, even a dangling link, is someone else's.
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return std::unexpected(errno);
  }
  r.temporaries.insert(key_of(path));
  return PartFile(std::move(path), destination, fd);
}

PartFile::PartFile(PartFile&& other) noexcept
    : path_(std::move(other.path_)),
      destination_(std::move(other.destination_)),
      fd_(std::exchange(other.fd_, -1)),
      identity_(other.identity_),
      owned_(std::exchange(other.owned_, false)) {}

int PartFile::close() {
  if (fd_ < 0) return 0;
  struct stat st{};
  if (::fstat(fd_, &st) == 0) identity_ = identity_of(st);
  int code = ::close(fd_) == 0 ? 0 : errno;
  fd_ = -1;
  return code;
}

int PartFile::install() {
  if (::rename(path_.c_str(), destination_.c_str()) != 0) return errno;
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.temporaries.erase(key_of(path_));
  owned_ = false;
  return 0;
}

PartFile::~PartFile() {
  if (!owned_) return;
  close();
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  r.temporaries.erase(key_of(path_));
  if (identity_) r.leftovers[key_of(destination_)] = Registry::Leftover{path_, *identity_};
}

}  // namespace varkel
