#pragma once
// Packed 4-bit affine quantization ("u32"): groups of 64 columns, a bf16
// scale and bias per group, eight codes per little-endian 32-bit word with
// the first column in the low nibble.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

namespace varkel {

inline constexpr std::size_t kInt4Group = 64;

struct Int4Quantized {
  std::vector<uint32_t> words;   // rows * (cols / 8)
  std::vector<uint16_t> scales;  // rows * (cols / 64), bf16 patterns
  std::vector<uint16_t> biases;  // rows * (cols / 64), bf16 patterns
};

// data is row-major and must hold at least rows * cols values.
std::expected<Int4Quantized, std::string> quant_f32_to_int4(std::span<const float> data, std::size_t rows,
                                                            std::size_t cols);

}  // namespace varkel
