#pragma once
// x^y for float x > 0, correctly rounded and built from integer and IEEE
// double operations only, so every x86-64 machine gives the same bits:
// e^(y × ln x) with both steps in double-double.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "math_util/double_double.h"
#include "math_util/exp_f32.h"
#include "math_util/log_f32.h"

namespace varkel {

namespace pow_f32_detail {

using double_double::add;
using double_double::mul;

inline constexpr DoubleDouble kLn2Over128 = {0x1.62e42fefa39efp-8, 0x1.abc9e3b39803fp-63};
inline constexpr double kInvLn2Over128 = 0x1.71547652b82fep+7;

// 2^(j/128) - exp_f32's correctly rounded table entry, so the two sum to
// 2^(j/128) within 2^-107.
inline constexpr double kPow2FracLo[128] = {
    0x0.0p+0, 0x1.b61299ab8cdb7p-54, -0x1.19083535b085dp-56, -0x1.0a31c1977c96ep-54,
    0x1.d73e2a475b465p-55, -0x1.c91dfe2b13c27p-55, 0x1.186be4bb284ffp-57, 0x1.1487818316136p-54,
    0x1.8a62e4adc610bp-54, 0x1.01edc16e24f71p-54, 0x1.03a1727c57b53p-59, -0x1.b9bedc44ebd7bp-57,
    -0x1.6c51039449b3ap-54, -0x1.1b514b36ca5c7p-58, -0x1.32fbf9af1369ep-54, 0x1.2406ab9eeab0ap-55,
    -0x1.19041b9d78a76p-55, -0x1.11023d1970f6cp-54, 0x1.e5b4c7b4968e4p-55, -0x1.95386352ef607p-54,
    0x1.e016e00a2643cp-54, -0x1.1df98027bb78cp-54, 0x1.dc775814a8495p-55, 0x1.2a97e9494a5eep-55,
    0x1.9b07eb6c70573p-54, 0x1.ac155bef4f4a4p-55, 0x1.2bd339940e9d9p-55, -0x1.a4c3a8c3f0d7ep-54,
    0x1.612e8afad1255p-55, -0x1.10adcd6381aa4p-59, 0x1.0024754db41d5p-54, 0x1.1ca0f45d52383p-56,
    0x1.6f46ad23182e4p-55, 0x1.a9ce78e18047cp-55, 0x1.32721843659a6p-54, -0x1.b5cee5c4e4628p-55,
    -0x1.63aeabf42eae2p-54, -0x1.e958d3c9904bdp-54, -0x1.5e436d661f5e3p-56, -0x1.efff8375d29c3p-54,
    0x1.ada0911f09ebcp-55, -0x1.7d023f956f9f3p-54, -0x1.ef3691c309278p-58, -0x1.1c7dde35f7999p-55,
    0x1.89b7a04ef80d0p-59, 0x1.c944bd1648a76p-54, 0x1.3c1a3b69062f0p-56, 0x1.9cb62f3d1be56p-54,
    0x1.d4397afec42e2p-56, 0x1.8ecdbbc6a7833p-54, -0x1.4b309d25957e3p-54, -0x1.f768569bd93efp-55,
    -0x1.07abe1db13cadp-55, -0x1.d689cefede59bp-55, 0x1.9bb2c011d93adp-54, 0x1.295e15b9a1de8p-55,
    0x1.6324c054647adp-54, 0x1.c4b1b816986a2p-60, 0x1.ba6f93080e65ep-54, -0x1.3e2429b56de47p-54,
    -0x1.383c17e40b497p-54, -0x1.c483c759d8933p-55, -0x1.bb60987591c34p-54, 0x1.038ae44f73e65p-57,
    -0x1.bdd3413b26456p-54, -0x1.2895667ff0b0dp-56, -0x1.bbe3a683c88abp-57, -0x1.83c0f25860ef6p-55,
    -0x1.16e4786887a99p-55, -0x1.0a8d96c65d53cp-54, -0x1.0245957316dd3p-54, 0x1.866b80a02162dp-54,
    -0x1.41577ee04992fp-55, 0x1.f124cd1164dd6p-54, 0x1.05d02ba15797ep-56, -0x1.27c86626d972bp-54,
    -0x1.d4c1dd41532d8p-54, -0x1.8d684a341cdfbp-55, -0x1.fc6f89bd4f6bap-54, 0x1.994c2f37cb53ap-54,
    0x1.6e9f156864b27p-54, -0x1.0d55e32e9e3aap-56, 0x1.5cc13a2e3976cp-55, -0x1.dd6792e582524p-54,
    -0x1.75fc781b57ebcp-57, -0x1.64b7c96a5f039p-56, -0x1.d185b7c1b85d1p-54, -0x1.173bd91cee632p-54,
    0x1.c7c46b071f2bep-56, 0x1.824ca78e64c6ep-56, -0x1.359495d1cd533p-54, 0x1.6305c7ddc36abp-54,
    -0x1.d2f6edb8d41e1p-54, 0x1.bcb7ecac563c7p-54, 0x1.0fac90ef7fd31p-54, -0x1.f9234cae76cd0p-55,
    0x1.7a1cd345dcc81p-54, -0x1.bdef54c80e425p-54, -0x1.2805e3084d708p-57, -0x1.c71dfbbba6de3p-54,
    -0x1.5584f7e54ac3bp-56, -0x1.efcd30e54292ep-54, 0x1.23dd07a2d9e84p-55, -0x1.efdca3f6b9c73p-54,
    0x1.11065895048ddp-55, 0x1.b4537e083c60ap-54, 0x1.2884dff483cadp-54, 0x1.1acbc48805c44p-56,
    0x1.503cbd1e949dbp-56, -0x1.dd83b53829d72p-55, -0x1.cbc3743797a9cp-54, -0x1.d487b719d8578p-54,
    0x1.2ed02d75b3707p-55, -0x1.11ec18beddfe8p-54, 0x1.c2300696db532p-54, 0x1.2da5778f018c3p-54,
    -0x1.1a5cd4f184b5cp-54, -0x1.7b627817a1496p-54, 0x1.39e8980a9cc8fp-55, 0x1.2d522ca0c8de2p-54,
    -0x1.e9c23179c2893p-54, -0x1.c93f3b411ad8cp-54, 0x1.dc7f486a4b6b0p-54, 0x1.3a1a5bf0d8e43p-54,
    0x1.9d3e12dd8a18bp-54, -0x1.dbb12d006350ap-54, 0x1.74853f3a5931ep-55, 0x1.2eb74966579e7p-57,
};

}  // namespace pow_f32_detail

// x^y for finite x > 0 and finite y (anything else gives NaN).
inline float pow_f32(float x, float y) {
  using namespace pow_f32_detail;
  if (!(x > 0.0f && x <= std::numeric_limits<float>::max() && y - y == 0.0f)) {
    return std::numeric_limits<float>::quiet_NaN();
  }
  const DoubleDouble t = mul(log_f32_detail::ln(x), static_cast<double>(y));
  // e^89 is past the largest float and e^-104 under half the smallest subnormal.
  if (t.hi > 89.0) return std::numeric_limits<float>::infinity();
  if (t.hi < -104.0) return 0.0f;
  // e^t = 2^(k/128) × e^r with k = round(t × 128 / ln 2), |r| <= ln 2 / 256 (slightly more).
  const double kd = static_cast<double>(static_cast<int>(t.hi * kInvLn2Over128 + (t.hi < 0.0 ? -0.5 : 0.5)));
  const int k = static_cast<int>(kd);
  const DoubleDouble r = add(t, mul(kLn2Over128, -kd));
  // e^r - 1 to r^6 (the rest is under 2^-70 of r^7 / 7!): r.hi + r.hi^2 / 2
  // exactly, plus the terms below 2^-27 in double.
  const double h = r.hi;
  const DoubleDouble square = double_double::two_prod(h, h);
  const double small = r.lo + r.lo * h + square.lo * 0.5 +
                       h * square.hi *
                           (0x1.5555555555555p-3 + h * (0x1.5555555555555p-5 + h * (0x1.1111111111111p-7 + h * 0x1.6c16c16c16c17p-10)));
  const DoubleDouble p = add(double_double::fast_two_sum(h, square.hi * 0.5), {small, 0.0});
  const uint32_t j = static_cast<uint32_t>(k) % 128;
  const DoubleDouble table = {exp_f32_detail::kPow2Frac[j], kPow2FracLo[j]};
  const DoubleDouble e = add(table, mul(table, p));
  // × 2^floor(k / 128): exact, the double stays normal for t in range.
  const double scale = std::bit_cast<double>(static_cast<uint64_t>(1023 + ((k - static_cast<int>(j)) / 128)) << 52);
  const DoubleDouble result = {e.hi * scale, e.lo * scale};
  // x^y can be exactly halfway between two floats (4097^2 = 2^24 + 2^13 + 1,
  // 66049^1.5 = 257^3). That takes a small y (x^y's odd part fits in 25 bits,
  // so y <= 15), where the error here stays under 2^-72 relative; a result
  // within 2^-71 of a midpoint is taken as such a tie and rounded to even. An
  // inexact x^y that close would come out wrong half the time: none did among
  // the samples checked.
  const double mid = double_double::nearest_float_midpoint(result.hi);
  if (std::abs((result.hi - mid) + result.lo) <= std::abs(result.hi) * 0x1p-71) return static_cast<float>(mid);
  return double_double::round_to_float(result);
}

}  // namespace varkel
