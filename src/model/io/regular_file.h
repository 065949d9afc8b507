#pragma once
// Opening a file that is read as data: only a regular file (or a symlink to one) is
// accepted. A FIFO would block the open or the read forever, a device such as
// /dev/zero never ends, and a directory has no bytes to read.

#include <expected>
#include <filesystem>
#include <sys/types.h>

#include "error/io_error.h"
#include "model/io/unique_fd.h"

namespace varkel {

// Opens `path` read-only. Anything but a regular file is refused with InvalidInput
// "{path} is {a FIFO, a directory, ...}, not a regular file", without blocking and
// before a byte is read.
std::expected<UniqueFd, IoError> open_regular_file(const std::filesystem::path& path);

// What a file of stat mode `mode` is, for messages: "a FIFO", "a directory", ...
const char* file_type_name(mode_t mode);

}  // namespace varkel
