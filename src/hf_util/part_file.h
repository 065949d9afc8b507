#pragma once
// Temporary files of hub downloads. The body of `dir/name` is written to
// `dir/.varkel-partial/name` and renamed into place: a directory that no
// repository name may pass through (check_file_name refuses it), so a
// temporary is never taken for a repository file nor collides with one, and
// it sits on the destination's file system, where the rename is atomic.
//
// A temporary is locked (flock) while it is written, so the next attempt at
// that file, in any process, reuses what an earlier attempt left but never
// what a live download is writing. The kernel drops the lock of a process
// that dies, so a killed download's leftover is reused too.

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

namespace varkel {

inline constexpr char PARTIAL_DIR[] = ".varkel-partial";

// True for a path component that names the directory of temporaries, in any
// letter case (the cache may sit on a file system that folds case).
bool is_partial_dir_name(std::string_view component);

// The temporary of `destination`: its directory, PARTIAL_DIR, its file name.
std::filesystem::path partial_path_for(const std::filesystem::path& destination);

// What the file system has at a path, symbolic links followed.
enum class Presence { Absent, RegularFile, Other };
Presence presence_of(const std::filesystem::path& path);

// True while a live download holds the temporary of `destination`. The
// check takes a shared lock for an instant: a download that starts right
// then finds its temporary busy and waits as for any other holder.
bool partial_in_use(const std::filesystem::path& destination);

// The locked, emptied temporary of one destination. One dropped without being
// installed stays on disk, unlocked, with what was written.
class PartFile {
 public:
  // A live download holds the temporary.
  static constexpr int BUSY = -1;
  // The temporary's name no longer leads to the file written.
  static constexpr int REPLACED = -2;
  // The error is an errno value, or BUSY.
  static std::expected<PartFile, int> create(const std::filesystem::path& destination);

  PartFile(PartFile&& other) noexcept;
  PartFile& operator=(PartFile&&) = delete;
  ~PartFile();

  int fd() const { return fd_; }
  // Closes the file for writing (the lock stays); the errno of a failed close, or 0.
  int close();
  // Renames the file onto the destination, still under the lock; the errno of
  // a failure, REPLACED, or 0.
  int install();

 private:
  PartFile(int dir_fd, std::string name, int fd, int lock_fd)
      : dir_fd_(dir_fd), name_(std::move(name)), fd_(fd), lock_fd_(lock_fd) {}

  // The destination's directory, opened once: a change of working directory
  // while the body arrives does not move the file elsewhere.
  int dir_fd_ = -1;
  // PARTIAL_DIR in it, opened without following a link.
  int partial_dir_fd_ = -1;
  std::string name_;  // the destination's file name
  int fd_ = -1;
  // The same open file as `fd_`: it keeps the lock after `close`, up to the rename.
  int lock_fd_ = -1;
};

}  // namespace varkel
