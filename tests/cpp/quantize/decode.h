#pragma once
// Independent decoders of the stored encodings, and the error each may have.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace varkel::quantize_test {

inline float widen_bf16(uint16_t pattern) { return std::bit_cast<float>(static_cast<uint32_t>(pattern) << 16); }

template <class T>
inline T load_le(std::span<const uint8_t> bytes, std::size_t index) {
  T value;
  std::memcpy(&value, bytes.data() + index * sizeof(T), sizeof(T));
  return value;
}

inline std::vector<float> decode_bf16(std::span<const uint8_t> bytes) {
  std::vector<float> out(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = widen_bf16(load_le<uint16_t>(bytes, i));
  return out;
}

inline std::vector<float> decode_f32(std::span<const uint8_t> bytes) {
  std::vector<float> out(bytes.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = load_le<float>(bytes, i);
  return out;
}

// Packed 4-bit affine: eight codes per word, lowest nibble first; bf16 scale
// and bias per 64 columns. `cols` is the stored (padded) width.
inline std::vector<float> decode_u32(std::span<const uint8_t> words, std::span<const uint8_t> scales,
                                     std::span<const uint8_t> biases, std::size_t rows, std::size_t cols) {
  std::vector<float> out(rows * cols);
  const std::size_t groups = cols / 64;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      const uint32_t word = load_le<uint32_t>(words, r * (cols / 8) + c / 8);
      const uint32_t code = (word >> (4 * (c % 8))) & 0xF;
      const float scale = widen_bf16(load_le<uint16_t>(scales, r * groups + c / 64));
      const float bias = widen_bf16(load_le<uint16_t>(biases, r * groups + c / 64));
      out[r * cols + c] = static_cast<float>(code) * scale + bias;
    }
  }
  return out;
}

// 8-bit symmetric: signed codes times an f32 scale per row.
inline std::vector<float> decode_u8(std::span<const uint8_t> codes, std::span<const uint8_t> scales,
                                    std::size_t rows, std::size_t cols) {
  std::vector<float> out(rows * cols);
  for (std::size_t r = 0; r < rows; ++r) {
    const float scale = load_le<float>(scales, r);
    for (std::size_t c = 0; c < cols; ++c) out[r * cols + c] = static_cast<float>(static_cast<int8_t>(codes[r * cols + c])) * scale;
  }
  return out;
}

// Largest error of 4-bit affine decoding over a group of values: half a step,
// plus the bf16 rounding of the step (times up to 15) and of the minimum.
inline float int4_bound(std::span<const float> group) {
  const auto [lo, hi] = std::minmax_element(group.begin(), group.end());
  const float step = (*hi - *lo) / 15.0f;
  return 0.5f * step + 15.0f * step / 256.0f + std::fabs(*lo) / 256.0f + 1e-6f;
}

// Largest error of 8-bit symmetric decoding over a row: half a step.
inline float int8_bound(std::span<const float> row) {
  float amax = 0.0f;
  for (float v : row) amax = std::max(amax, std::fabs(v));
  return 0.5f * amax / 127.0f + 1e-6f;
}

}  // namespace varkel::quantize_test
