#pragma once
// Temporary files of hub downloads. A body is written beside its destination
// and renamed into place, so the temporary name must be this download's alone:
// not a file already there (a "model.part" that an earlier download installed,
// or another process's download in progress), not a path another download of
// this process is writing or about to install.

#include <sys/types.h>

#include <ctime>
#include <expected>
#include <filesystem>
#include <optional>
#include <utility>

namespace varkel {

// What tells a file left behind from any other that later takes its path.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
};

// True when something exists at `path` (links followed) that is not the
// temporary file of a download in progress in this process.
bool present(const std::filesystem::path& path);

// Marks a destination as being downloaded while it lives, so that no download
// of this process takes that path as its temporary name.
class DestinationClaim {
 public:
  // Nothing when the path is the temporary file of a download in progress.
  static std::optional<DestinationClaim> take(const std::filesystem::path& destination);

  DestinationClaim(DestinationClaim&& other) noexcept : key_(std::move(other.key_)) { other.key_.clear(); }
  DestinationClaim& operator=(DestinationClaim&&) = delete;
  ~DestinationClaim();

 private:
  explicit DestinationClaim(std::filesystem::path key) : key_(std::move(key)) {}
  std::filesystem::path key_;
};

// An open, empty temporary file for one destination. One that is dropped
// without being installed stays on disk, closed, with what was written; the
// next download of that destination in this process starts it again from
// byte 0 if nothing has touched it since.
class PartFile {
 public:
  // `preferred` when nothing is there and no download of this process uses
  // it; otherwise a new name beside the destination ("model.<random>.part").
  // The error is an errno value.
  static std::expected<PartFile, int> create(const std::filesystem::path& preferred,
                                             const std::filesystem::path& destination);

  PartFile(PartFile&& other) noexcept;
  PartFile& operator=(PartFile&&) = delete;
  ~PartFile();

  int fd() const { return fd_; }
  const std::filesystem::path& path() const { return path_; }
  // Closes the file; the errno of a failed close, or 0.
  int close();
  // Renames the closed file to the destination; the errno of a failure, or 0.
  int install();

 private:
  PartFile(std::filesystem::path path, std::filesystem::path destination, int fd)
      : path_(std::move(path)), destination_(std::move(destination)), fd_(fd) {}

  std::filesystem::path path_;
  std::filesystem::path destination_;
  int fd_ = -1;
  std::optional<FileIdentity> identity_;  // taken when the file is closed
  bool owned_ = true;                 // false once moved from or installed
};

}  // namespace varkel
