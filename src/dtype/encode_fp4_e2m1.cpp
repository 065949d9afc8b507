#include <algorithm>
#include <atomic>
#include <cmath>

#include <fmt/format.h>

#include "dtype/encoding_support.h"
#include "dtype/fp4_e2m1.h"
#include "dtype/grouped_encoders.h"

namespace varkel::detail {

namespace {

// The code of magnitude a (not NaN): an exact entry, else the nearer
// neighbour with a tie going to the larger one; above 6 saturates.
uint32_t fp4_magnitude_code(float a) {
  const auto& table = kFp4E2m1Magnitudes;
  uint32_t k = 0;  // entries below a
  for (float entry : table) k += entry < a ? 1u : 0u;
  if (k == table.size()) return 7;
  if (k == 0 || table[k] == a) return k;
  return (a - table[k - 1]) < (table[k] - a) ? k - 1 : k;
}

constexpr std::size_t kNoFailure = ~std::size_t{0};

}  // namespace

std::expected<std::vector<EncodedTensor>, std::string> encode_fp4_e2m1(std::span<const float> data, std::size_t rows,
                                                                      std::size_t cols) {
  const std::size_t words_per_row = cols / 8;
  const std::size_t groups = cols / kFp4Group;
  std::vector<uint8_t> words(rows * words_per_row * sizeof(uint32_t), 0);
  std::vector<uint8_t> scales(rows * groups * sizeof(uint16_t), 0);
  // Flat index of the first value that cannot be encoded; rows may finish out
  // of order, so keep the smallest.
  std::atomic<std::size_t> first_failure{kNoFailure};
  for_each_row(rows, cols, [&](std::size_t r) {
    if (first_failure.load(std::memory_order_relaxed) < r * cols) return;  // the error is already decided
    for (std::size_t g = 0; g < groups; ++g) {
      const std::size_t begin = r * cols + g * kFp4Group;
      const float* x = data.data() + begin;
      const float inv = store_group_scale(x, kFp4Group, 6.0f, &scales[(r * groups + g) * sizeof(uint16_t)]);
      uint8_t* out = &words[(r * words_per_row + 8 * g) * sizeof(uint32_t)];
      for (std::size_t j = 0; j < 8; ++j) {
        uint32_t word = 0;
        for (std::size_t k = 0; k < 8; ++k) {
          const float value = x[8 * j + k];
          const float a = std::fabs(inv * value);
          if (std::isnan(a)) {
            std::size_t seen = first_failure.load(std::memory_order_relaxed);
            const std::size_t here = begin + 8 * j + k;
            while (here < seen && !first_failure.compare_exchange_weak(seen, here)) {
            }
            return;  // the rest of this row is not needed
          }
          uint32_t code = fp4_magnitude_code(a);
          if (value < 0.0f) code |= 8;
          word |= code << (4 * k);
        }
        store_u32_le(out + j * sizeof(uint32_t), word);
      }
    }
  });
  if (const std::size_t at = first_failure.load(); at != kNoFailure) {
    return std::unexpected(fmt::format("fp4_e2m1 cannot encode NaN or infinity (row {}, column {}, value {})",
                                       at / cols, at % cols, data[at]));
  }
  std::vector<EncodedTensor> parts;
  parts.push_back({std::move(words), {rows, words_per_row}, ".weight", as_str(DType::Fp4E2m1)});
  parts.push_back({std::move(scales), {rows, groups}, ".scales", as_str(DType::Bf16)});
  return parts;
}

}  // namespace varkel::detail
