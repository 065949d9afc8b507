#pragma once
// Independent decoders of the stored encodings, and the error each may have.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quantize/qwen35_moe/common/expert_packing.h"

namespace varkel::quantize_test {

inline std::span<const uint8_t> as_bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

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

// Every decoded value within the 4-bit bound of its group of 64 expected
// values (rows a whole number of groups wide, so no group straddles two rows).
inline void expect_int4_close(std::span<const float> decoded, std::span<const float> expected, const std::string& what) {
  ASSERT_EQ(decoded.size(), expected.size()) << what;
  for (std::size_t at = 0; at < expected.size(); at += 64) {
    const auto group = expected.subspan(at, 64);
    const float bound = int4_bound(group);
    for (std::size_t i = 0; i < 64; ++i) ASSERT_LE(std::fabs(decoded[at + i] - group[i]), bound) << what << " @" << at + i;
  }
}

// Record `e` of a packed expert layer against its stacked sources: gate_up
// [E, 2I, H] (gate rows first) and down [E, H, I].
inline void expect_expert_record(std::span<const uint8_t> record, const ExpertRecordLayout& l, std::span<const float> gate_up,
                                 std::span<const float> down, std::size_t e, std::size_t inter, std::size_t hidden,
                                 const std::string& what) {
  const std::size_t block = inter * hidden;
  const auto part = [&](uint64_t weight, uint64_t scales, uint64_t biases, std::size_t rows, std::size_t cols) {
    return decode_u32(record.subspan(weight), record.subspan(scales), record.subspan(biases), rows, cols);
  };
  expect_int4_close(part(l.gate_weight, l.gate_scales, l.gate_biases, inter, hidden), gate_up.subspan(e * 2 * block, block),
                    what + " gate");
  expect_int4_close(part(l.up_weight, l.up_scales, l.up_biases, inter, hidden),
                    gate_up.subspan(e * 2 * block + block, block), what + " up");
  expect_int4_close(part(l.down_weight, l.down_scales, l.down_biases, hidden, inter), down.subspan(e * block, block),
                    what + " down");
}

}  // namespace varkel::quantize_test
