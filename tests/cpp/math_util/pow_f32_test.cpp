// pow_f32 against the correctly rounded x^y: every (theta, exponent) pair a
// rotary table computes for the usual thetas, edges, and random samples; by
// hand, many more samples with a printed hash to compare with
// GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>

#include "common/reference_exp.h"
#include "math_util/every_float.h"
#include "math_util/pow_f32.h"

namespace varkel {
namespace {

using namespace testing_support;

TEST(PowF32, RotaryTablePowersAreCorrectlyRounded) {
  int checked = 0;
  for (float theta : {10000.0f, 50000.0f, 100000.0f, 500000.0f, 1e6f, 5e6f, 1e7f, 1e8f}) {
    for (uint32_t rotary_dim : {16u, 32u, 64u, 96u, 128u, 256u}) {
      for (uint32_t i = 0; i <= rotary_dim / 2; ++i) {
        // The exponent as the kernel forms it.
        const float exponent = -2.0f * static_cast<float>(i) / static_cast<float>(rotary_dim);
        EXPECT_PRED2(same_result, pow_f32(theta, exponent), correctly_rounded_pow(theta, exponent))
            << theta << " ^ " << exponent;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 8 * (9 + 17 + 33 + 49 + 65 + 129));
}

TEST(PowF32, EdgesAreExactOrNaN) {
  constexpr float kInf = std::numeric_limits<float>::infinity(), kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kMax = std::numeric_limits<float>::max(), kTiny = std::numeric_limits<float>::denorm_min();
  struct Case {
    float x, y, want;
  };
  const Case cases[] = {
      {1.0f, 123.5f, 1.0f},       {7.0f, 0.0f, 1.0f},        {2.0f, 10.0f, 1024.0f},  {4.0f, -0.5f, 0.5f},
      {2.0f, -149.0f, kTiny},     {2.0f, -150.0f, 0.0f} /* a tie */,     {2.0f, 128.0f, kInf},    {kMax, 1.0f, kMax},
      {kTiny, 1.0f, kTiny},       {kTiny, -0.0f, 1.0f},      {0x1p-148f, 0.5f, 0x1p-74f},
      {0.0f, 2.0f, kNaN},         {-2.0f, 2.0f, kNaN},       {kInf, 1.0f, kNaN},      {kNaN, 1.0f, kNaN},
      {2.0f, kInf, kNaN},         {2.0f, kNaN, kNaN},
      {4097.0f, 2.0f, 16785408.0f} /* a tie, to even */,   {4099.0f, 2.0f, 16801800.0f} /* a tie, to even */,
      {66049.0f, 1.5f, 16974592.0f} /* 257^3, a tie */,        {0x3p-75f, 2.0f, 0x1p-147f} /* 9 × 2^-150, a tie */,
  };
  for (const Case& c : cases) EXPECT_PRED2(same_result, pow_f32(c.x, c.y), c.want) << c.x << " ^ " << c.y;
}

// Positive finite x over all exponents; y mostly where the result is finite
// and not 0 or 1, sometimes any finite float.
void expect_random_samples_correctly_rounded(uint64_t samples, bool print_hash) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<float> moderate(-2.0f, 2.0f);
  uint64_t hash = 0xcbf29ce484222325;
  int mismatches = 0;
  for (uint64_t s = 0; s < samples; ++s) {
    const float x = std::bit_cast<float>(static_cast<uint32_t>(1 + rng() % 0x7f7fffff));
    float y = s % 4 == 0 ? std::bit_cast<float>(static_cast<uint32_t>(rng())) : moderate(rng);
    if (!std::isfinite(y)) y = 0.5f;
    const float got = pow_f32(x, y);
    hash = (hash ^ std::bit_cast<uint32_t>(got)) * 0x100000001b3;
    if (!same_result(got, correctly_rounded_pow(x, y)) && ++mismatches <= 10) {
      ADD_FAILURE() << std::hexfloat << x << " ^ " << y << ": " << got << " versus " << correctly_rounded_pow(x, y);
    }
  }
  if (print_hash) std::printf("pow_f32 hash over %llu samples %016llx\n", static_cast<unsigned long long>(samples),
                              static_cast<unsigned long long>(hash));
  EXPECT_EQ(mismatches, 0);
}

TEST(PowF32, RandomSamplesAreCorrectlyRounded) { expect_random_samples_correctly_rounded(200000, false); }

TEST(PowF32, DISABLED_ManySamplesAreCorrectlyRounded) { expect_random_samples_correctly_rounded(400000000, true); }

}  // namespace
}  // namespace varkel
