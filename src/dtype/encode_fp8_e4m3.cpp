#include <algorithm>
#include <bit>
#include <cmath>

#include "dtype/encoding_support.h"
#include "dtype/fp8_e4m3_lut.h"
#include "dtype/grouped_encoders.h"

namespace varkel::detail {

namespace {

constexpr std::size_t kTopCode = 0x77;  // first code of the saturating 240 binade

// The largest code among 0..0x77 whose entry is at most m (2^-10 <= m <= 240),
// read off m's bits: below 2^-6 the entries are steps of 2^-9, above it the
// code is the biased exponent and the top three mantissa bits.
std::size_t floor_code(float m) {
  if (m < 0x1p-6f) return static_cast<std::size_t>(m * 512.0f);
  const uint32_t bits = std::bit_cast<uint32_t>(m);
  const std::size_t exponent = (bits >> 23) - 127 + 7;
  return exponent * 8 + ((bits >> 20) & 7u);
}

// The code among 0..0x77 nearest to m, a tie going to the smaller entry. The
// same as scanning the table upward with a strict less-than test: entries
// rise strictly, and no two of them can round to the same distance from m.
uint8_t nearest_code(const Fp8E4m3Lut& lut, float m) {
  const std::size_t k = floor_code(m);
  if (k >= kTopCode) return static_cast<uint8_t>(k);
  const float below = m - lut[k];
  const float above = lut[k + 1] - m;
  return static_cast<uint8_t>(above < below ? k + 1 : k);
}

uint8_t fp8_code(const Fp8E4m3Lut& lut, float x, float inv) {
  const float y = inv * x;
  const float a = std::fabs(y);
  const uint8_t sign = y < 0.0f ? 0x80 : 0x00;
  if (a < lut[1] * 0.5f) return sign;
  const float m = std::isnan(a) ? 240.0f : std::min(a, 240.0f);
  return static_cast<uint8_t>(nearest_code(lut, m) | sign);
}

}  // namespace

std::vector<EncodedTensor> encode_fp8_e4m3(std::span<const float> data, std::size_t rows, std::size_t cols) {
  const Fp8E4m3Lut& lut = fp8_e4m3_lut();
  const std::size_t groups = cols / kFp8Group;
  std::vector<uint8_t> codes(rows * cols, 0);
  std::vector<uint8_t> scales(rows * groups * sizeof(uint16_t), 0);
  for_each_row(rows, cols, [&](std::size_t r) {
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t begin = r * cols + g * kFp8Group;
      const float* x = data.data() + begin;
      const float inv = store_group_scale(x, kFp8Group, 240.0f, &scales[(r * groups + g) * sizeof(uint16_t)]);
      uint8_t* out = &codes[begin];
      for (std::size_t i = 0; i < kFp8Group; ++i) out[i] = fp8_code(lut, x[i], inv);
    }
  });
  std::vector<EncodedTensor> parts;
  parts.push_back({std::move(codes), {rows, cols}, ".weight", as_str(DType::Fp8E4m3)});
  parts.push_back({std::move(scales), {rows, groups}, ".scales", as_str(DType::Bf16)});
  return parts;
}

}  // namespace varkel::detail
