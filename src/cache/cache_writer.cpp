#include "cache/cache_writer.h"

#include <algorithm>
#include <cstring>

#include "model/config/json_text.h"
#include "model/io/text_file.h"

namespace varkel {

std::expected<void, IoError> CacheWriter::flush() {
  auto written = write_all(fd_, buffer_, used_);
  used_ = 0;
  return written;
}

std::expected<void, IoError> CacheWriter::append(const void* bytes, size_t size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  while (size > 0) {
    if (used_ == kBufferSize) {
      if (auto flushed = flush(); !flushed) return flushed;
    }
    const size_t take = std::min(size, kBufferSize - used_);
    std::memcpy(buffer_ + used_, p, take);
    used_ += take;
    p += take;
    size -= take;
  }
  return {};
}

void CacheWriter::record(const std::string& name, const char* dtype, nlohmann::json shape, uint64_t size) {
  tensors_[name] = {{"dtype", dtype}, {"offset", offset_}, {"shape", std::move(shape)}, {"size", size}};
  offset_ += size;
}

std::expected<void, IoError> CacheWriter::write_f32_tensor(const std::string& name, std::span<const float> values,
                                                           std::initializer_list<uint64_t> shape) {
  // Host floats are little-endian (checked where the cache is built), so they go out as is.
  if (auto put = append(values.data(), values.size_bytes()); !put) return put;
  record(name, "float32", nlohmann::json(shape), values.size_bytes());
  return {};
}

std::expected<void, IoError> CacheWriter::write_u32_scalar(const std::string& name, uint32_t value) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                  static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  if (auto put = append(bytes, sizeof bytes); !put) return put;
  record(name, "uint32", nlohmann::json::array(), 4);
  return {};
}

std::string CacheWriter::manifest_text() const { return to_pretty_json(nlohmann::json{{"tensors", tensors_}}); }

}  // namespace varkel
