#include <cmath>

#include "dtype/encoding_support.h"
#include "dtype/grouped_encoders.h"

namespace varkel::detail {

namespace {

int8_t u8_code(float x, float inv) {
  const float q = std::round(x * inv);  // halves away from zero
  if (!(q > -127.0f)) return std::isnan(q) ? 0 : -127;
  if (q > 127.0f) return 127;
  return static_cast<int8_t>(q);
}

}  // namespace

std::vector<EncodedTensor> encode_u8(std::span<const float> data, std::size_t rows, std::size_t cols) {
  std::vector<uint8_t> codes(rows * cols, 0);
  std::vector<uint8_t> scales(rows * sizeof(float), 0);
  for_each_row(rows, cols, [&](std::size_t r) {
    const float* row = data.data() + r * cols;
    const float amax = abs_max(row, cols);
    const float scale = amax > 0.0f ? amax / 127.0f : 1.0f / 127.0f;
    store_u32_le(&scales[r * sizeof(float)], std::bit_cast<uint32_t>(scale));
    const float inv = 1.0f / scale;
    uint8_t* out = codes.data() + r * cols;  // not &codes[..]: a row may have no column to refer to
    for (std::size_t c = 0; c < cols; ++c) out[c] = static_cast<uint8_t>(u8_code(row[c], inv));
  });
  std::vector<EncodedTensor> parts;
  parts.push_back({std::move(codes), {rows, cols}, ".weight", as_str(DType::U8)});
  parts.push_back({std::move(scales), {rows}, ".scales", as_str(DType::F32)});
  return parts;
}

}  // namespace varkel::detail
