#pragma once
// "model_weights.bin" mapped read-only, with its manifest "model_weights.json".

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error/moe_error.h"
#include "model/io/mapped_file.h"

namespace varkel {

// One manifest entry.
struct TensorInfo {
  std::string name;
  std::vector<uint64_t> shape;
  std::string dtype;  // storage type name as written, possibly empty
  uint64_t offset = 0;
  uint64_t size = 0;
};

class WeightFile {
 public:
  // Maps `bin_path` whole and reads the manifest at `json_path`. Every entry's
  // offset + size lies within the mapping once this succeeds. Prints the "[weights]" line.
  static Result<WeightFile> open(const std::filesystem::path& bin_path, const std::filesystem::path& json_path);

  // The mapped bytes; nullptr and 0 for an empty file. Valid while this object lives.
  const uint8_t* data() const { return mmap_.data(); }
  size_t len() const { return mmap_.size(); }
  std::span<const uint8_t> bytes() const { return {mmap_.data(), mmap_.size()}; }

  const std::unordered_map<std::string, TensorInfo>& tensors() const { return tensors_; }
  // The entry named exactly `name`, or nullptr.
  const TensorInfo* find(std::string_view name) const;
  // Whether the mapping's pages are locked in memory as they are touched.
  bool locked() const { return mmap_.locked(); }
  // The tensor's bytes [offset, offset + size) of the mapping.
  std::span<const uint8_t> tensor_bytes(const TensorInfo& info) const {
    return bytes().subspan(info.offset, info.size);
  }

 private:
  WeightFile(MappedFile mmap, std::unordered_map<std::string, TensorInfo> tensors)
      : mmap_(std::move(mmap)), tensors_(std::move(tensors)) {}

  MappedFile mmap_;
  std::unordered_map<std::string, TensorInfo> tensors_;
};

}  // namespace varkel
