#pragma once
// One tensor of a safetensors shard, read in slices by position. Large
// tensors are read and widened to f32 a slice at a time on the worker
// threads, instead of one serial pass over freshly zeroed buffers.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quantize/quant_result.h"
#include "safetensors/safetensors.h"

namespace varkel {

// bytes_to_f32's element size: 4 bytes for "F32", 2 for any other text.
inline std::size_t stored_element_size(std::string_view dtype) { return dtype == "F32" ? 4 : 2; }

// An f32 array whose memory is first touched by whoever fills it.
class FloatArray {
 public:
  explicit FloatArray(std::size_t size = 0) : data_(new float[size]), size_(size) {}
  std::span<float> span() { return {data_.get(), size_}; }
  std::span<const float> span() const { return {data_.get(), size_}; }
  std::size_t size() const { return size_; }

 private:
  std::unique_ptr<float[]> data_;
  std::size_t size_;
};

class TensorSource {
 public:
  // Fails where read_tensor_bytes would fail, with its message.
  static QuantResult<TensorSource> open(const std::filesystem::path& path, const SafetensorsHeader& header,
                                        const std::string& name);

  TensorSource(TensorSource&& other) noexcept;
  TensorSource(const TensorSource&) = delete;
  TensorSource& operator=(const TensorSource&) = delete;
  TensorSource& operator=(TensorSource&&) = delete;
  ~TensorSource();

  const std::string& dtype() const { return dtype_; }
  // What bytes_to_f32 would give for the whole tensor.
  std::size_t value_count() const { return bytes_ / stored_element_size(dtype_); }

  // bytes_to_f32 of values [first, first + count), which lie inside the tensor.
  QuantResult<std::vector<float>> values(uint64_t first, uint64_t count) const;
  // All values, read and widened in slices on the worker threads.
  QuantResult<FloatArray> all_values() const;

 private:
  explicit TensorSource(int fd) : fd_(fd) {}
  QuantResult<void> read_exact(uint8_t* dst, std::size_t size, uint64_t offset) const;

  int fd_ = -1;
  uint64_t offset_ = 0;  // absolute file offset of the tensor's first byte
  uint64_t bytes_ = 0;
  std::string dtype_;
};

}  // namespace varkel
