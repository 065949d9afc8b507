#include "dtype/quant_int4.h"

#include "dtype/bf16.h"
#include "dtype/encoding_support.h"

namespace varkel {

namespace {

uint32_t int4_code(float x, float mn, float inv) {
  const float q = (x - mn) * inv + 0.5f;
  if (!(q >= 1.0f)) return 0;  // NaN and everything that truncates to 0 or below
  if (q >= 15.0f) return 15;
  return static_cast<uint32_t>(q);
}

// One group of 64 values into 8 words, its scale and its bias.
void quant_group(const float* x, uint32_t* words, uint16_t& scale_out, uint16_t& bias_out) {
  float mn, mx;
  detail::min_max_num(x, kInt4Group, mn, mx);
  if (mx == mn) mx = mn + 1.0f;
  const float scale = (mx - mn) / 15.0f;
  scale_out = f32_to_bf16(scale);
  bias_out = f32_to_bf16(mn);
  const float inv = 1.0f / scale;
  for (std::size_t j = 0; j < 8; ++j) {
    uint32_t word = 0;
    for (std::size_t k = 0; k < 8; ++k) word |= int4_code(x[8 * j + k], mn, inv) << (4 * k);
    words[j] = word;
  }
}

}  // namespace

std::expected<Int4Quantized, std::string> quant_f32_to_int4(std::span<const float> data, std::size_t rows,
                                                            std::size_t cols) {
  if (auto error = detail::check_data_length(data.size(), rows, cols)) return std::unexpected(std::move(*error));
  const std::size_t words_per_row = cols / 8;
  const std::size_t groups = cols / kInt4Group;
  Int4Quantized out;
  out.words.assign(rows * words_per_row, 0);
  out.scales.assign(rows * groups, 0);
  out.biases.assign(rows * groups, 0);
  detail::for_each_row(rows, cols, [&](std::size_t r) {
    const float* row = data.data() + r * cols;
    for (std::size_t g = 0; g < groups; ++g) {
      quant_group(row + g * kInt4Group, &out.words[r * words_per_row + 8 * g], out.scales[r * groups + g],
                  out.biases[r * groups + g]);
    }
  });
  return out;
}

}  // namespace varkel
