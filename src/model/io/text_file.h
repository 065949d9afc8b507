#pragma once
// Whole-file reads and writes with the platform's I/O error values.

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "error/io_error.h"

namespace varkel {

// The whole file as UTF-8 text; invalid UTF-8 is an InvalidData error
// "stream did not contain valid UTF-8". Only a regular file is read (see open_regular_file).
std::expected<std::string, IoError> read_text_file(const std::filesystem::path& path);

// Writes all of `bytes` at the descriptor's position, retrying short writes.
std::expected<void, IoError> write_all(int fd, const void* bytes, size_t size);

// Creates or truncates `path` (mode 0666 before the umask) and writes `bytes` whole.
std::expected<void, IoError> write_whole_file(const std::filesystem::path& path, std::string_view bytes);

// Reads exactly `size` bytes from the descriptor's current position; a short file gives
// UnexpectedEof "failed to fill whole buffer".
std::expected<void, IoError> read_exact(int fd, void* dest, size_t size);

}  // namespace varkel
