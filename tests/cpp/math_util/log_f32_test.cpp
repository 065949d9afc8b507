// log_f32 against the correctly rounded ln x: the inputs nearest a rounding
// boundary, inputs the C library's logf misrounds and the edges in a table, a
// strided sweep of all floats, and (by hand, too slow for every run) all 2^32
// inputs:
//
//   test_math_util --gtest_also_run_disabled_tests --gtest_filter='LogF32.*EveryFloat*'
//
// in a normal process and with GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA:
// the printed log_f32 hash must not change.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

#include "common/reference_exp.h"
#include "math_util/every_float.h"
#include "math_util/log_f32.h"

namespace varkel {
namespace {

using namespace testing_support;

TEST(LogF32, HardInputsAndEdgesAreCorrectlyRounded) {
  const HardInput cases[] = {
      {0x65d890d3, "nearest a rounding boundary (2^-34 ulp)"},
      {0x4c5d65a5, "near a rounding boundary"},
      {0x4d604ebe, "near a rounding boundary"},
      {0x41178feb, "near a rounding boundary"},
      {0x1f116ab8, "near a rounding boundary"},
      {0x3c413d3a, "near a rounding boundary"},
      {0x3f004e10, "the C library's logf misrounds (just above 1/2)"},
      {0x3f7f01e4, "the C library's logf misrounds (just below 1)"},
      {0x3f800ab1, "the C library's logf misrounds (just above 1)"},
      {0x3fb50521, "the C library's logf misrounds (just above √2)"},
      {0x400096f3, "the C library's logf misrounds"},
      {0x4b00b682, "the C library's logf misrounds"},
      {0x7f015f0c, "the C library's logf misrounds (huge)"},
      {0x0041da66, "the C library's logf misrounds (subnormal)"},
      {0x00002447, "the C library's logf misrounds (subnormal)"},
      {0x3f800000, "1: +0"},
      {0x3f800001, "1 + 2^-23: the smallest positive result"},
      {0x3f7fffff, "1 - 2^-24: the smallest negative result"},
      {0x3fb504f3, "√2 rounded down: not halved"},
      {0x3fb504f4, "just above √2: halved"},
      {0x40000000, "2"},
      {0x402df854, "e rounded to float"},
      {0x3f000000, "1/2"},
      {0x00000001, "smallest subnormal"},
      {0x007fffff, "largest subnormal"},
      {0x00800000, "smallest normal"},
      {0x7f7fffff, "largest float"},
      {0x00000000, "+0: -inf"},
      {0x80000000, "-0: -inf"},
      {0x80000001, "negative subnormal: NaN"},
      {0xbf800000, "-1: NaN"},
      {0xff800000, "-inf: NaN"},
      {0x7f800000, "+inf"},
      {0x7fc00000, "NaN"},
      {0xffc00001, "negative NaN"},
      {0x7f800001, "signalling NaN"},
  };
  expect_correctly_rounded_at("log_f32", cases, log_f32, correctly_rounded_log);
}

TEST(LogF32, StridedSweepIsCorrectlyRounded) { expect_strided_sweep_correctly_rounded(log_f32, correctly_rounded_log); }

TEST(LogF32, DISABLED_EveryFloatIsCorrectlyRounded) {
  expect_every_float_correctly_rounded("log_f32", log_f32, [](float x) { return std::log(x); }, correctly_rounded_log);
}

}  // namespace
}  // namespace varkel
