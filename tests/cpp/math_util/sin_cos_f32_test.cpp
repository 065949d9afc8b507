// sin_f32 and cos_f32 against the correctly rounded sin and cos: hard inputs
// and edges in a table, a strided sweep of all floats, and (by hand, too slow
// for every run) all 2^32 inputs:
//
//   test_math_util --gtest_also_run_disabled_tests --gtest_filter='SinCosF32.*EveryFloat*'
//
// in a normal process and with GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA:
// the printed sin_f32 and cos_f32 hashes must not change.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "common/reference_exp.h"
#include "math_util/every_float.h"
#include "math_util/sin_cos_f32.h"

namespace varkel {
namespace {

using namespace testing_support;

TEST(SinCosF32, HardInputsAndEdgesAreCorrectlyRounded) {
  const HardInput cases[] = {
      {0x418a3adb, "the C library's FMA and plain variants differ (17.28)"},
      {0x4202eb4b, "the C library's FMA and plain variants differ"},
      {0x42687a55, "the C library's FMA and plain variants differ"},
      {0x46199998, "sin nearest a rounding boundary (C library's sinf misrounds)"},
      {0x73243f06, "sin near a rounding boundary"},
      {0x4371ade3, "sin near a rounding boundary"},
      {0x5f18b878, "cos nearest a rounding boundary (C library's cosf misrounds)"},
      {0x6115cb11, "cos near a rounding boundary"},
      {0x3c107fe6, "cos near a rounding boundary"},
      {0x7f3dcda0, "nearest a multiple of π/2 relative to x"},
      {0x7ec02777, "near a multiple of π/2 relative to x"},
      {0x39800000, "2^-12: the smallest input through the series"},
      {0x397fffff, "below 2^-12: sin x rounds to x, cos x to 1"},
      {0x3f47ae14, "0.78: the smallest reduced input"},
      {0x3f47ae13, "below 0.78: not reduced"},
      {0x3fc90fdb, "π/2 rounded to float"},
      {0x40490fdb, "π rounded to float"},
      {0x4b800000, "2^24: the largest window shift below zero bits of 2/π"},
      {0x7f7fffff, "largest float"},
      {0xff7fffff, "most negative float"},
      {0x00000000, "+0"},
      {0x80000000, "-0"},
      {0x00000001, "smallest subnormal"},
      {0x80000001, "negative smallest subnormal"},
      {0x7f800000, "+inf"},
      {0xff800000, "-inf"},
      {0x7fc00000, "NaN"},
  };
  expect_correctly_rounded_at("sin_f32", cases, sin_f32, correctly_rounded_sin);
  expect_correctly_rounded_at("cos_f32", cases, cos_f32, correctly_rounded_cos);
}

TEST(SinCosF32, StridedSweepIsCorrectlyRounded) {
  expect_strided_sweep_correctly_rounded(sin_f32, correctly_rounded_sin);
  expect_strided_sweep_correctly_rounded(cos_f32, correctly_rounded_cos);
}

TEST(SinCosF32, DISABLED_EveryFloatIsCorrectlyRounded) {
  expect_every_float_correctly_rounded("sin_f32", sin_f32, [](float x) { return std::sin(x); }, correctly_rounded_sin);
  expect_every_float_correctly_rounded("cos_f32", cos_f32, [](float x) { return std::cos(x); }, correctly_rounded_cos);
}

}  // namespace
}  // namespace varkel
