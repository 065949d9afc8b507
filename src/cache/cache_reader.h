#pragma once
// Looks up cache tensors by name in the manifest and reads them from the mapped data
// file, checking every entry's range against the file before anything is copied.

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "model/io/mapped_file.h"

namespace varkel {

// A float tensor's place in the data file.
struct TensorSpan {
  std::string name;
  uint64_t offset = 0;
  uint64_t floats = 0;  // ⌊size / 4⌋: trailing bytes of a size that is not a multiple of 4 are ignored
};

class CacheReader {
 public:
  // Both must outlive the reader.
  CacheReader(const nlohmann::json& tensors, const MappedFile& data) : tensors_(tensors), data_(data) {}

  bool has(const std::string& name) const { return tensors_.contains(name); }
  uint64_t data_size() const { return data_.size(); }

  // "missing tensor: {}", "missing offset", "missing size", or a range outside the file
  // (naming the tensor); copies nothing.
  std::expected<TensorSpan, std::string> locate_f32(const std::string& name) const;
  // One little-endian word at the entry's offset; its size is not consulted.
  std::expected<uint32_t, std::string> read_u32(const std::string& name) const;
  // The floats of a span that locate_f32 gave.
  std::vector<float> copy(const TensorSpan& span) const;

 private:
  std::expected<const nlohmann::json*, std::string> find(const std::string& name) const;
  std::expected<void, std::string> check_range(const std::string& name, uint64_t offset, uint64_t size) const;

  const nlohmann::json& tensors_;
  const MappedFile& data_;
};

}  // namespace varkel
