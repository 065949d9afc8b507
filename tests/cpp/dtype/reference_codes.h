#pragma once
// Slow, direct renderings of the storage encodings, and byte readers.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "dtype/dtype.h"

namespace varkel::test {

inline std::vector<uint16_t> u16s(const std::vector<uint8_t>& b) {
  std::vector<uint16_t> out(b.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint16_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return out;
}

inline std::vector<uint32_t> u32s(const std::vector<uint8_t>& b) {
  std::vector<uint32_t> out(b.size() / 4);
  if (!out.empty()) std::memcpy(out.data(), b.data(), out.size() * 4);  // little-endian host
  return out;
}

inline std::vector<EncodedTensor> encoded(DType dtype, const std::vector<float>& data, std::size_t rows,
                                          std::size_t cols) {
  auto parts = encode(dtype, data, rows, cols);
  if (!parts) ADD_FAILURE() << "encode failed: " << parts.error();
  return parts ? std::move(*parts) : std::vector<EncodedTensor>{};
}

// bf16 rounding as a table of cases on the low half.
inline uint16_t reference_bf16(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return static_cast<uint16_t>(((bits >> 16) + ((bits & 0x8000u) && (bits & 0x10001u))) % 65536);
}

// One code per element (0 for unencoded columns) to packed words, low nibble first.
inline std::vector<uint32_t> pack_nibbles(const std::vector<uint8_t>& codes, std::size_t rows, std::size_t cols) {
  std::vector<uint32_t> words(rows * (cols / 8), 0);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t c = 0; c < (cols / 8) * 8; ++c)
      words[r * (cols / 8) + c / 8] |= static_cast<uint32_t>(codes[r * cols + c]) << (4 * (c % 8));
  return words;
}

struct ReferenceInt4 {
  std::vector<uint32_t> words;
  std::vector<uint16_t> scales, biases;
};

inline ReferenceInt4 reference_int4(const std::vector<float>& x, std::size_t rows, std::size_t cols) {
  std::vector<uint8_t> codes(rows * cols, 0);
  ReferenceInt4 out;
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t g = 0; g < cols / 64; ++g) {
      const float* v = &x[r * cols + g * 64];
      const float mn = *std::min_element(v, v + 64);
      float mx = *std::max_element(v, v + 64);
      if (mx == mn) mx = mn + 1.0f;
      const float scale = (mx - mn) / 15.0f, inv = 1.0f / scale;
      out.scales.push_back(reference_bf16(scale));
      out.biases.push_back(reference_bf16(mn));
      for (std::size_t i = 0; i < 64; ++i)
        codes[r * cols + g * 64 + i] = static_cast<uint8_t>(std::min(15.0f, std::trunc((v[i] - mn) * inv + 0.5f)));
    }
  out.words = pack_nibbles(codes, rows, cols);
  return out;
}

// Codes by a full scan of `table` (n magnitudes, group amax at least 1e-8 mapped to table[n-1]); `later_wins`
// decides ties. The bf16 scale of each group is appended to `scales`.
inline std::vector<uint8_t> reference_codes(const std::vector<float>& x, std::size_t rows, std::size_t cols,
                                            std::size_t group, const float* table, int n, bool later_wins,
                                            std::vector<uint16_t>& scales) {
  std::vector<uint8_t> codes(rows * cols, 0);
  scales.clear();
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t g = 0; g < cols / group; ++g) {
      const float* v = &x[r * cols + g * group];
      float amax = 1e-8f;
      for (std::size_t i = 0; i < group; ++i) amax = std::max(amax, std::fabs(v[i]));
      const float scale = amax / table[n - 1], inv = 1.0f / scale;
      scales.push_back(reference_bf16(scale));
      for (std::size_t i = 0; i < group; ++i) {
        const float y = inv * v[i], a = std::min(std::fabs(y), table[n - 1]);
        int best = 0;
        if (later_wins || std::fabs(y) >= table[1] * 0.5f)  // fp8: below half the smallest step is +-0
          for (int j = 1; j < n; ++j) {
            const float d = std::fabs(a - table[j]), e = std::fabs(a - table[best]);
            if (later_wins ? d <= e : d < e) best = j;
          }
        codes[r * cols + g * group + i] = static_cast<uint8_t>(best | (y < 0 ? n : 0));
      }
    }
  return codes;
}

// E4M3 magnitudes from their definition (top binade saturated at 240), the first entry winning a tie.
inline std::vector<uint8_t> reference_fp8(const std::vector<float>& x, std::size_t rows, std::size_t cols,
                                          std::vector<uint16_t>& scales) {
  float table[128];
  for (int code = 0; code < 128; ++code) {
    const int e = code / 8, m = code % 8;
    table[code] = static_cast<float>(e == 0 ? m * std::pow(2.0, -9)
                                     : e == 15 ? 240.0 : (1.0 + m / 8.0) * std::pow(2.0, e - 7));
  }
  return reference_codes(x, rows, cols, 128, table, 128, false, scales);
}

// FP4 over its eight magnitudes, a later entry winning a tie.
inline std::vector<uint32_t> reference_fp4(const std::vector<float>& x, std::size_t rows, std::size_t cols,
                                           std::vector<uint16_t>& scales) {
  static constexpr float kMagnitudes[8] = {0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 3.0f, 4.0f, 6.0f};
  return pack_nibbles(reference_codes(x, rows, cols, 64, kMagnitudes, 8, true, scales), rows, cols);
}

// Random groups of very different magnitudes, with exact zeros and repeats.
inline std::vector<float> random_matrix(std::size_t count, uint32_t seed) {
  std::vector<float> values(count);
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  float magnitude = 1.0f;
  for (std::size_t i = 0; i < count; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    if (i % 64 == 0) magnitude = std::ldexp(1.0f, static_cast<int>(state % 40) - 20);
    const uint64_t draw = state * 0x2545F4914F6CDD1Dull;
    values[i] = draw % 23 == 0                ? 0.0f
                : (draw % 29 == 0 && i > 0) ? values[i - 1]
                                            : (static_cast<float>(draw >> 40) / 8388608.0f - 1.0f) * magnitude;
  }
  return values;
}

}  // namespace varkel::test
