#pragma once
// sin and cos for float, correctly rounded on every finite input and built
// from integer and IEEE double operations only, so every x86-64 machine gives
// the same bits. The C library's sinf and cosf are neither: glibc picks an FMA
// or a plain variant by CPU, and the two differ by an ulp on some inputs.

#include <bit>
#include <cstdint>

#include "math_util/double_double.h"

namespace varkel {

namespace sin_cos_f32_detail {

using double_double::add;
using double_double::mul;

// The bits of 2/π after the binary point, 256 of them, behind a zero word for
// window starts before the point.
inline constexpr uint64_t kTwoOverPi[5] = {
    0, 0xa2f9836e4e441529, 0xfc2757d1f534ddc0, 0xdb6295993c439041, 0xfe5163abdebbc561,
};
inline constexpr DoubleDouble kHalfPi = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};

struct Reduced {
  uint32_t quadrant;  // x = quadrant × π/2 + r, modulo 2π
  DoubleDouble r;     // |r| <= π/4
};

// |x| for finite x >= 0.78 (below π/4 no reduction is needed). x = m × 2^e with
// an integer m < 2^24, so x × 2/π modulo 4 needs only the 128 bits of 2/π from
// weight 2^(1 - e - 127) down to 2^-(e + 126): the bits above contribute
// multiples of 4, those below less than 2^-102. The product's low 128 bits
// are then x × 2/π modulo 4 in fixed point with 126 fraction bits, exactly.
inline Reduced reduce(float ax) {
  const uint32_t bits = std::bit_cast<uint32_t>(ax);
  const int e = static_cast<int>(bits >> 23) - 150;
  const uint64_t m = (bits & 0x7fffff) | 0x800000;
  // Window of 2/π bits at positions q .. q + 127 (position j weighs 2^-j),
  // q = e - 1 >= -25; position -63 is bit 63 of word 0.
  const int q = e - 1;
  const int word = (q + 63) / 64, shift = (q + 63) % 64;
  using u128 = unsigned __int128;
  u128 window = (u128{kTwoOverPi[word]} << 64) | kTwoOverPi[word + 1];
  if (shift != 0) window = (window << shift) | (kTwoOverPi[word + 2] >> (64 - shift));
  const u128 turns = window * m;  // wraps modulo 2^128, i.e. modulo 4 quarter turns
  uint32_t quadrant = static_cast<uint32_t>(turns >> 126);
  __int128 fraction = static_cast<__int128>(turns & ((u128{1} << 126) - 1));
  if (fraction >= (__int128{1} << 125)) {  // round to the nearest quadrant
    fraction -= __int128{1} << 126;
    quadrant += 1;
  }
  const double hi = static_cast<double>(fraction);  // integer conversions are correctly rounded
  const double lo = static_cast<double>(fraction - static_cast<__int128>(hi));
  constexpr double kFixedPointUnit = 0x1p-126;
  const DoubleDouble quarter_turns = double_double::fast_two_sum(hi * kFixedPointUnit, lo * kFixedPointUnit);
  return {quadrant & 3, mul(quarter_turns, kHalfPi)};
}

// Taylor series in double-double for the leading terms, whose rounding would
// show in a float, and plain double for the rest (below 2^-14 relative).
// Truncated past r^21 and r^22: under 2^-80 relative for |r| <= π/4.
inline DoubleDouble sin_series(DoubleDouble r) {
  const DoubleDouble z = mul(r, r);
  const double w = z.hi;
  const double rest =
      -0x1.a01a01a01a01ap-13 +
      w * (0x1.71de3a556c734p-19 +
           w * (-0x1.ae64567f544e4p-26 +
                w * (0x1.6124613a86d09p-33 +
                     w * (-0x1.ae7f3e733b81fp-41 + w * (0x1.952c77030ad4ap-49 + w * -0x1.2f49b46814157p-57)))));
  DoubleDouble s = add({0x1.1111111111111p-7, 0x1.1111111111111p-63}, mul(z, rest));   // 1/5!
  s = add({-0x1.5555555555555p-3, -0x1.5555555555555p-57}, mul(z, s));                  // -1/3!
  s = add({1.0, 0.0}, mul(z, s));
  return mul(r, s);
}

inline DoubleDouble cos_series(DoubleDouble r) {
  const DoubleDouble z = mul(r, r);
  const double w = z.hi;
  const double rest =
      -0x1.6c16c16c16c17p-10 +
      w * (0x1.a01a01a01a01ap-16 +
           w * (-0x1.27e4fb7789f5cp-22 +
                w * (0x1.1eed8eff8d898p-29 +
                     w * (-0x1.93974a8c07c9dp-37 + w * (0x1.ae7f3e733b81fp-45 + w * -0x1.6827863b97d97p-53)))));
  DoubleDouble c = add({0x1.5555555555555p-5, 0x1.5555555555555p-59}, mul(z, rest));  // 1/4!
  c = add({-0.5, 0.0}, mul(z, c));
  return add({1.0, 0.0}, mul(z, c));
}

inline DoubleDouble negate(DoubleDouble x) { return {-x.hi, -x.lo}; }

// sin (want_cos false) or cos of x.
inline float sin_or_cos(float x, bool want_cos) {
  const float ax = x < 0.0f ? -x : x;
  if (!(ax <= 0x1.fffffep127f)) return x - x;  // NaN for ±inf and NaN
  // Below 2^-12, x^2 / 2 is under half an ulp of 1 and x^3 / 6 under half an
  // ulp of x, so the results round to 1 and x (keeping subnormals and -0 out
  // of the double-double path).
  if (ax < 0x1p-12f) return want_cos ? 1.0f : x;
  const Reduced red = ax < 0.78f ? Reduced{0, {ax, 0.0}} : reduce(ax);
  // cos(a) = sin(a + π/2); sin(-a) = -sin(a) and cos(-a) = cos(a).
  const uint32_t quadrant = (red.quadrant + (want_cos ? 1 : 0)) & 3;
  DoubleDouble v = quadrant % 2 == 0 ? sin_series(red.r) : cos_series(red.r);
  if (quadrant >= 2) v = negate(v);
  if (!want_cos && x < 0.0f) v = negate(v);
  return double_double::round_to_float(v);
}

}  // namespace sin_cos_f32_detail

inline float sin_f32(float x) { return sin_cos_f32_detail::sin_or_cos(x, false); }
inline float cos_f32(float x) { return sin_cos_f32_detail::sin_or_cos(x, true); }

}  // namespace varkel
