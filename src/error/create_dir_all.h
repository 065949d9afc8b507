#pragma once
// mkdir -p, reporting the operating system's error of the step that failed.

#include <expected>
#include <filesystem>

#include "error/io_error.h"

namespace varkel {

// Creates `dir` and every missing parent with the permission bits 0777
// (before the umask); an existing directory anywhere on the way is fine. A
// name holding a NUL byte is refused before the OS sees a shorter one.
std::expected<void, IoError> create_dir_all(const std::filesystem::path& dir);

}  // namespace varkel
