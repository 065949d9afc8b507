#pragma once
// Streams cache tensors into the data file through one 8,192-byte buffer and keeps the
// manifest entries as it goes.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "error/io_error.h"

namespace varkel {

class CacheWriter {
 public:
  static constexpr size_t kBufferSize = 8192;

  // `fd` stays owned by the caller.
  explicit CacheWriter(int fd) : fd_(fd), tensors_(nlohmann::json::object()) {}

  // Little-endian floats; entry {"dtype": "float32", "offset", "shape", "size": 4·n}.
  std::expected<void, IoError> write_f32_tensor(const std::string& name, std::span<const float> values,
                                                std::initializer_list<uint64_t> shape);
  // One little-endian word; entry {"dtype": "uint32", "offset", "shape": [], "size": 4}.
  std::expected<void, IoError> write_u32_scalar(const std::string& name, uint32_t value);
  std::expected<void, IoError> flush();

  // {"tensors": {...}} pretty-printed with two-space indentation, no trailing newline.
  std::string manifest_text() const;

 private:
  std::expected<void, IoError> append(const void* bytes, size_t size);
  void record(const std::string& name, const char* dtype, nlohmann::json shape, uint64_t size);

  int fd_;
  unsigned char buffer_[kBufferSize];
  size_t used_ = 0;
  uint64_t offset_ = 0;
  nlohmann::json tensors_;
};

}  // namespace varkel
