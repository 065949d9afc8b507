#pragma once
// A file written under a temporary name beside the file it is to replace, and moved
// over it only once it is complete and on disk. Until then the old file is untouched,
// and a replacement that is never committed is removed.

#include <expected>
#include <filesystem>

#include "error/io_error.h"
#include "model/io/unique_fd.h"

namespace varkel {

// Whether two paths name one file, through links or different spellings of one
// directory, whether that file exists yet or not.
bool names_one_file(const std::filesystem::path& a, const std::filesystem::path& b);

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
  // Flushes the contents to disk and closes the file.
  std::expected<void, IoError> sync();
  // Renames the synced file over the target and flushes the directory entry.
  std::expected<void, IoError> commit();

 private:
  ReplacementFile(UniqueFd file, std::filesystem::path temporary, std::filesystem::path target)
      : file_(std::move(file)), temporary_(std::move(temporary)), target_(std::move(target)) {}

  UniqueFd file_;
  std::filesystem::path temporary_;  // empty once committed
  std::filesystem::path target_;
};

}  // namespace varkel
