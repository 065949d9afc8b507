#pragma once
// Reads tensors out of safetensors checkpoint files. Nothing is mapped or
// cached: every call opens the file by path and closes it again. Failures are
// plain message texts.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace varkel {

struct TensorMeta {
  std::vector<std::size_t> shape;
  std::string dtype;  // as written: "F32", "F16", "BF16" or any other text
  std::pair<uint64_t, uint64_t> data_offsets{0, 0};  // [begin, end) within the data area
};

struct SafetensorsHeader {
  std::unordered_map<std::string, TensorMeta> tensors;
  uint64_t data_start = 0;  // absolute file offset of the data area: 8 + header length
};

std::expected<SafetensorsHeader, std::string> parse_safetensors(const std::filesystem::path& path);

// Exactly end - begin bytes of the named tensor. The range is not checked
// against the shape, the dtype or other tensors.
std::expected<std::vector<uint8_t>, std::string> read_tensor_bytes(const std::filesystem::path& path,
                                                                   const SafetensorsHeader& header,
                                                                   std::string_view name);

// "F32" as is, "F16" as binary16, any other text as bf16; trailing bytes that
// do not fill an element are dropped. Never fails.
std::vector<float> bytes_to_f32(std::span<const uint8_t> bytes, std::string_view dtype);

}  // namespace varkel
