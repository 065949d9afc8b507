#pragma once
// e^x for float, correctly rounded and built from IEEE double additions and
// multiplications only, so every x86-64 machine gives the same bits. The C
// library's expf is neither: glibc picks an FMA or a plain variant by CPU, and
// the two differ by an ulp on a few inputs.

#include <bit>
#include <cstdint>
#include <limits>

namespace varkel {

namespace exp_f32_detail {

// 2^(j/32), each correctly rounded.
inline constexpr double kPow2Frac[32] = {
    0x1.0000000000000p+0, 0x1.059b0d3158574p+0, 0x1.0b5586cf9890fp+0, 0x1.11301d0125b51p+0,
    0x1.172b83c7d517bp+0, 0x1.1d4873168b9aap+0, 0x1.2387a6e756238p+0, 0x1.29e9df51fdee1p+0,
    0x1.306fe0a31b715p+0, 0x1.371a7373aa9cbp+0, 0x1.3dea64c123422p+0, 0x1.44e086061892dp+0,
    0x1.4bfdad5362a27p+0, 0x1.5342b569d4f82p+0, 0x1.5ab07dd485429p+0, 0x1.6247eb03a5585p+0,
    0x1.6a09e667f3bcdp+0, 0x1.71f75e8ec5f74p+0, 0x1.7a11473eb0187p+0, 0x1.82589994cce13p+0,
    0x1.8ace5422aa0dbp+0, 0x1.93737b0cdc5e5p+0, 0x1.9c49182a3f090p+0, 0x1.a5503b23e255dp+0,
    0x1.ae89f995ad3adp+0, 0x1.b7f76f2fb5e47p+0, 0x1.c199bdd85529cp+0, 0x1.cb720dcef9069p+0,
    0x1.d5818dcfba487p+0, 0x1.dfc97337b9b5fp+0, 0x1.ea4afa2a490dap+0, 0x1.f50765b6e4540p+0,
};
inline constexpr double kInvLn2Over32 = 0x1.71547652b82fep+5;  // 32 / ln 2
// ln 2 / 32 = hi + lo; hi has 40 significant bits, so k × hi is exact for |k| < 2^13.
inline constexpr double kLn2Over32Hi = 0x1.62e42fefa4000p-6;
inline constexpr double kLn2Over32Lo = -0x1.8432a1b0e2634p-48;
// Adding this rounds a double below 2^51 in magnitude to an integer (nearest, ties to even).
inline constexpr double kRoundShift = 0x1.8p52;

}  // namespace exp_f32_detail

inline float exp_f32(float x) {
  using namespace exp_f32_detail;
  // e^89 overflows float and e^-104 < 2^-150 rounds to zero; NaN stays NaN.
  if (!(x < 89.0f)) return x != x ? x + x : std::numeric_limits<float>::infinity();
  if (x < -104.0f) return 0.0f;
  // e^x = 2^(k/32) × e^r with k = round(x × 32 / ln 2), |r| <= ln 2 / 64 (slightly more).
  const double xd = x;
  const double shifted = xd * kInvLn2Over32 + kRoundShift;
  const double kd = shifted - kRoundShift;
  const int64_t k = static_cast<int64_t>(kd);
  const double r = (xd - kd * kLn2Over32Hi) - kd * kLn2Over32Lo;  // the first difference is exact
  // e^r - 1 by its Taylor series to r^6: the remainder is below 2^-58.
  const double p =
      r + (r * r) * (0.5 + r * (0x1.5555555555555p-3 + r * (0x1.5555555555555p-5 +
                                                             r * (0x1.1111111111111p-7 + r * 0x1.6c16c16c16c17p-10))));
  const double t = kPow2Frac[k & 31];
  const double scale = std::bit_cast<double>(static_cast<uint64_t>(1023 + (k >> 5)) << 52);
  return static_cast<float>((t + t * p) * scale);
}

}  // namespace varkel
