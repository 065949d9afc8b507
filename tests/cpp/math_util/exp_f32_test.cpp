// exp_f32 against the correctly rounded e^x: the inputs nearest a rounding
// boundary and the edges in a table, a strided sweep of all floats, and (by
// hand, too slow for every run) all 2^32 inputs:
//
//   test_math_util --gtest_also_run_disabled_tests --gtest_filter='ExpF32.*EveryFloat*'
//
// in a normal process and with GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA:
// the printed exp_f32 hash must not change (the C library's expf hash does).

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "common/reference_exp.h"
#include "math_util/every_float.h"
#include "math_util/exp_f32.h"

namespace varkel {
namespace {

using namespace testing_support;

TEST(ExpF32, HardInputsAndEdgesAreCorrectlyRounded) {
  const HardInput cases[] = {
      {0x4202422f, "the C library's FMA and plain expf differ"},
      {0xc27c65d9, "the C library's FMA and plain expf differ"},
      {0xbd163daf, "the C library's expf misrounds"},
      {0xc1b7f7c1, "the C library's expf misrounds"},
      {0x3ff7dbc6, "the C library's expf misrounds"},
      {0xc16912cd, "nearest a rounding boundary (subnormal result)"},
      {0xbbf0edf1, "near a rounding boundary"},
      {0xbae0e25c, "near a rounding boundary"},
      {0x40315b33, "near a rounding boundary"},
      {0x4001b249, "near a rounding boundary"},
      {0x4288942b, "near a rounding boundary"},
      {0x33800000, "2^-24: e^x just above 1 + 2^-24"},
      {0x337fffff, "below 2^-24: rounds to 1"},
      {0xb3000000, "-2^-25: rounds to 1"},
      {0x42b17217, "largest finite result"},
      {0x42b17218, "overflow"},
      {0x42b20000, "89"},
      {0xc2aeac4f, "smallest normal result"},
      {0xc2cff1b4, "smallest subnormal result"},
      {0xc2cff1b5, "underflow to zero"},
      {0xc2d00000, "-104, past the underflow cut-off"},
      {0x00000000, "+0"},
      {0x80000000, "-0"},
      {0x00000001, "smallest subnormal input"},
      {0x7f800000, "+inf"},
      {0xff800000, "-inf"},
      {0x7fc00000, "NaN"},
      {0xffc00001, "negative NaN"},
  };
  expect_correctly_rounded_at("exp_f32", cases, exp_f32, correctly_rounded_exp);
}

TEST(ExpF32, StridedSweepIsCorrectlyRounded) { expect_strided_sweep_correctly_rounded(exp_f32, correctly_rounded_exp); }

TEST(ExpF32, DISABLED_EveryFloatIsCorrectlyRounded) {
  expect_every_float_correctly_rounded("exp_f32", exp_f32, [](float x) { return std::exp(x); }, correctly_rounded_exp);
}

}  // namespace
}  // namespace varkel
