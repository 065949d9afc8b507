#pragma once
// ln x for float, correctly rounded (to nearest, ties to even) and built from
// integer and IEEE double operations only, so every x86-64 machine gives the
// same bits. The C library's logf is neither: glibc's misrounds some inputs,
// and other C libraries round others differently. The double-double ln here
// is also the first step of pow_f32.

#include <bit>
#include <cstdint>
#include <limits>

#include "math_util/double_double.h"

namespace varkel {

namespace log_f32_detail {

using double_double::add;
using double_double::mul;

inline constexpr DoubleDouble kLn2 = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};

// ln x for finite x > 0: x = m × 2^k with m in [√½, √2), ln m = 2 atanh(u)
// with u = (m - 1) / (m + 1), |u| <= 0.172, by its series to u^29 (the rest is
// under 2^-80 relative).
inline DoubleDouble ln(float x) {
  uint32_t bits = std::bit_cast<uint32_t>(x);
  int k = 0;
  if (bits < 0x800000) {  // subnormal: make it normal first
    bits = std::bit_cast<uint32_t>(x * 0x1p23f);
    k = -23;
  }
  k += static_cast<int>(bits >> 23) - 127;
  uint32_t mantissa = (bits & 0x7fffff) | 0x3f800000;  // in [1, 2)
  if (mantissa > 0x3fb504f3) {                          // above √2: halve
    mantissa -= 0x800000;
    k += 1;
  }
  const double m = std::bit_cast<float>(mantissa);
  const double a = m - 1.0, b = m + 1.0;  // both exact
  const double uh = a / b;
  const DoubleDouble p = double_double::two_prod(uh, b);
  const DoubleDouble u = double_double::fast_two_sum(uh, ((a - p.hi) - p.lo) / b);
  const DoubleDouble v = mul(u, u);
  const double w = v.hi;
  const double rest =
      0x1.c71c71c71c71cp-4 +
      w * (0x1.745d1745d1746p-4 +
           w * (0x1.3b13b13b13b14p-4 +
                w * (0x1.1111111111111p-4 +
                     w * (0x1.e1e1e1e1e1e1ep-5 +
                          w * (0x1.af286bca1af28p-5 +
                               w * (0x1.8618618618618p-5 +
                                    w * (0x1.642c8590b2164p-5 +
                                         w * (0x1.47ae147ae147bp-5 +
                                              w * (0x1.2f684bda12f68p-5 + w * 0x1.1a7b9611a7b96p-5)))))))));
  // 1/7, 1/5 and 1/3 in double-double: the plain double part stays under 2^-75.
  DoubleDouble s = add({0x1.2492492492492p-3, 0x1.2492492492492p-57}, mul(v, rest));
  s = add({0x1.999999999999ap-3, -0x1.999999999999ap-57}, mul(v, s));
  s = add({0x1.5555555555555p-2, 0x1.5555555555555p-56}, mul(v, s));
  s = add({1.0, 0.0}, mul(v, s));
  const DoubleDouble log_m = mul(mul(u, s), 2.0);
  return add(mul(kLn2, static_cast<double>(k)), log_m);
}

}  // namespace log_f32_detail

// ln x: -inf at ±0, NaN below zero and for NaN, +inf at +inf.
inline float log_f32(float x) {
  const uint32_t bits = std::bit_cast<uint32_t>(x);
  // Zeros, negatives, infinity and NaN in one unsigned comparison.
  if (bits - 1 >= 0x7f7fffffu) {
    if (x != x) return x + x;
    if (x == 0.0f) return -std::numeric_limits<float>::infinity();
    return x > 0.0f ? x : std::numeric_limits<float>::quiet_NaN();
  }
  // ln x is never halfway between two floats (it is transcendental for x != 1,
  // and 0 at 1), and no float's ln comes nearer to a halfway point than 2^-34
  // of an ulp (at 0x1.b121a6p+76), far more than the sum's error of about
  // 2^-75 relative: rounding the sum is rounding ln x (checked on every float).
  return double_double::round_to_float(log_f32_detail::ln(x));
}

}  // namespace varkel
