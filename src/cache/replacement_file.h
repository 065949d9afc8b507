#pragma once
// A file written under a temporary name beside the file it is to replace, and moved
// over it only once it is complete and on disk. Until then the old file is untouched,
// and a replacement that is never committed is removed.
//
// The target's directory is opened once: the temporary, the checks, the rename and
// the cleanup all name files relative to it, so another process that renames the
// directory or flips a link to it meanwhile cannot send one step somewhere else.

#include <expected>
#include <filesystem>
#include <string>

#include "error/io_error.h"
#include "model/io/unique_fd.h"

namespace varkel {

class ReplacementFile {
 public:
  // Creates the temporary file in the directory of `target` (after following a symlink,
  // so the link keeps pointing where it did). An existing target must be a writable
  // regular file; its permission bits carry over, else 0666 before the umask applies.
  static std::expected<ReplacementFile, IoError> create(const std::filesystem::path& target);

  ReplacementFile(ReplacementFile&& other) noexcept;
  ReplacementFile& operator=(ReplacementFile&&) = delete;
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;
  ~ReplacementFile();

  int fd() const { return file_.get(); }
  // Whether the two would replace one file: one name in one directory, however the
  // paths spelled it, or two names of one existing file.
  bool same_target(const ReplacementFile& other) const;
  // Flushes the contents to disk and closes the file.
  std::expected<void, IoError> sync();
  // Renames the synced file over the target and flushes the directory entry.
  std::expected<void, IoError> commit();

 private:
  ReplacementFile(UniqueFd dir, UniqueFd file, std::string temporary, std::string target)
      : dir_(std::move(dir)), file_(std::move(file)), temporary_(std::move(temporary)), target_(std::move(target)) {}

  UniqueFd dir_;  // O_PATH
  UniqueFd file_;
  std::string temporary_;  // in dir_; empty once committed
  std::string target_;     // in dir_
};

}  // namespace varkel
