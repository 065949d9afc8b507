#pragma once
// Independent decoders of the stored encodings and their error bounds.

#include <algorithm>
#include <bit>
#include <cmath>
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

template <class T>
inline T load_le(std::span<const uint8_t> bytes, std::size_t index) {
  T value;
  std::memcpy(&value, bytes.data() + index * sizeof(T), sizeof(T));
  return value;
}

inline float bf16_at(std::span<const uint8_t> b, std::size_t i) {
  return std::bit_cast<float>(static_cast<uint32_t>(load_le<uint16_t>(b, i)) << 16);
}

// Packed 4-bit affine: eight codes per word, lowest nibble first; bf16 scale
// and bias per 64 columns. `cols` is the stored (padded) width.
inline std::vector<float> decode_u32(std::span<const uint8_t> words, std::span<const uint8_t> scales,
                                     std::span<const uint8_t> biases, std::size_t rows, std::size_t cols) {
  std::vector<float> out(rows * cols);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const std::size_t r = i / cols, c = i % cols, g = r * (cols / 64) + c / 64;
    const uint32_t code = (load_le<uint32_t>(words, i / 8) >> (4 * (c % 8))) & 0xF;
    out[i] = static_cast<float>(code) * bf16_at(scales, g) + bf16_at(biases, g);
  }
  return out;
}

// Every decoded value within the 4-bit bound of its group of 64 expected
// values: half a step plus the bf16 rounding of the step and the minimum.
inline void expect_int4_close(std::span<const float> decoded, std::span<const float> expected, const std::string& what) {
  ASSERT_EQ(decoded.size(), expected.size()) << what;
  for (std::size_t at = 0; at < expected.size(); at += 64) {
    const auto group = expected.subspan(at, 64);
    const auto [lo, hi] = std::minmax_element(group.begin(), group.end());
    const float step = (*hi - *lo) / 15.0f;
    const float bound = 0.5f * step + 15.0f * step / 256.0f + std::fabs(*lo) / 256.0f + 1e-6f;
    for (std::size_t i = 0; i < 64; ++i) ASSERT_LE(std::fabs(decoded[at + i] - group[i]), bound) << what << " @" << at + i;
  }
}

// Record `e` of a packed expert layer against gate_up [E, 2I, H] (gate rows
// first) and down [E, H, I].
inline void expect_expert_record(std::span<const uint8_t> rec, const ExpertRecordLayout& l, std::span<const float> gate_up,
                                 std::span<const float> down, std::size_t e, std::size_t inter, std::size_t hidden) {
  const std::size_t block = inter * hidden;
  const auto part = [&](uint64_t w, uint64_t s, uint64_t b, std::size_t rows, std::size_t cols) {
    return decode_u32(rec.subspan(w), rec.subspan(s), rec.subspan(b), rows, cols);
  };
  expect_int4_close(part(l.gate_weight, l.gate_scales, l.gate_biases, inter, hidden), gate_up.subspan(e * 2 * block, block), "gate");
  expect_int4_close(part(l.up_weight, l.up_scales, l.up_biases, inter, hidden), gate_up.subspan(e * 2 * block + block, block), "up");
  expect_int4_close(part(l.down_weight, l.down_scales, l.down_biases, hidden, inter), down.subspan(e * block, block), "down");
}

}  // namespace varkel::quantize_test
