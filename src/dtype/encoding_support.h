#pragma once
// Pieces shared by the grouped encoders (internal to dtype).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <bit>
#include <optional>
#include <string>

#include "dtype/bf16.h"
#include "parallel/parallel_for.h"

namespace varkel::detail {

static_assert(std::endian::native == std::endian::little, "stored words are little-endian");

// NaN-ignoring minimum and maximum (IEEE minNum/maxNum). A NaN operand loses to
// a number; -0.0 orders below +0.0 so the result never depends on fold order.
inline float min_num(float a, float b) {
  if (b < a) return b;
  if (a < b) return a;
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return std::signbit(b) ? b : a;
}

inline float max_num(float a, float b) {
  if (b > a) return b;
  if (a > b) return a;
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return std::signbit(a) ? b : a;
}

// min_num and max_num folded over n > 0 values. The fold's result does not
// depend on order, so the common case runs as plain compares; NaN and the
// sign of a zero extreme are settled afterwards.
inline void min_max_num(const float* x, std::size_t n, float& mn, float& mx) {
  float lo = x[0], hi = x[0];
  bool any_nan = false;
  for (std::size_t i = 0; i < n; ++i) {
    lo = x[i] < lo ? x[i] : lo;
    hi = x[i] > hi ? x[i] : hi;
    any_nan |= x[i] != x[i];
  }
  if (any_nan || lo == 0.0f || hi == 0.0f) {
    lo = x[0];
    hi = x[0];
    for (std::size_t i = 1; i < n; ++i) {
      lo = min_num(lo, x[i]);
      hi = max_num(hi, x[i]);
    }
  }
  mn = lo;
  mx = hi;
}

// Largest magnitude of n values, folded from 0.0; never NaN.
// (max_num folded over |x|: NaN fails the compare, and no magnitude is -0.0.)
inline float abs_max(const float* x, std::size_t n) {
  float amax = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float magnitude = std::fabs(x[i]);
    amax = magnitude > amax ? magnitude : amax;
  }
  return amax;
}

inline void store_u16_le(uint8_t* dst, uint16_t value) { std::memcpy(dst, &value, sizeof value); }
inline void store_u32_le(uint8_t* dst, uint32_t value) { std::memcpy(dst, &value, sizeof value); }

// The scaled types map a group's largest magnitude (at least 1e-8) to top:
// stores the scale's bf16 rounding at scale_out and returns the reciprocal of
// the unrounded scale.
inline float store_group_scale(const float* x, std::size_t n, float top, uint8_t* scale_out) {
  float amax = abs_max(x, n);
  if (amax < 1e-8f) amax = 1e-8f;
  const float scale = amax / top;
  store_u16_le(scale_out, f32_to_bf16(scale));
  return 1.0f / scale;
}

// rows * cols values are read; a shorter input is an error, not a read past its end.
std::optional<std::string> check_data_length(std::size_t length, std::size_t rows, std::size_t cols);

// Inputs this large are split across threads by rows; every row's output is
// independent, so the bytes do not depend on the split.
inline constexpr std::size_t kParallelMinValues = std::size_t{1} << 18;

template <class RowFn>
void for_each_row(std::size_t rows, std::size_t cols, RowFn&& row_fn) {
  const bool parallel = rows > 1 && rows * cols >= kParallelMinValues;
  parallel::for_each_range(rows, parallel ? parallel::balanced_pieces(rows) : 1,
                           [&row_fn](std::size_t begin, std::size_t end) {
                             for (std::size_t r = begin; r < end; ++r) row_fn(r);
                           });
}

}  // namespace varkel::detail
