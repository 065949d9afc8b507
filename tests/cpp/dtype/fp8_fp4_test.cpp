#include <bit>
#include <cmath>
#include <latch>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "dtype/bf16.h"
#include "dtype/dtype.h"
#include "dtype/fp4_e2m1.h"
#include "dtype/fp8_e4m3_lut.h"
#include "dtype/part_bytes.h"
#include "dtype/reference_codes.h"

namespace varkel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// One 128-value group holding 240 (so scale 1 and inv 1) and the given values after it.
std::vector<float> fp8_unit_group(const std::vector<float>& values) {
  std::vector<float> group(128, 0.0f);
  group[0] = 240.0f;
  for (std::size_t i = 0; i < values.size(); ++i) group[1 + i] = values[i];
  return group;
}

TEST(Fp8Lut, BuiltOnceWhileThreadsRace) {
  // Run on its own (as CTest does), this is the first use in the process.
  constexpr int kThreads = 16;
  std::latch start(kThreads);
  std::vector<const Fp8E4m3Lut*> seen(kThreads, nullptr);
  std::vector<uint8_t> first_codes(kThreads, 0);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        if (t % 2) {
          seen[t] = &fp8_e4m3_lut();
        } else {
          auto parts = encode(DType::Fp8E4m3, fp8_unit_group({1.0f}), 1, 128);
          if (parts) first_codes[t] = (*parts)[0].data[1];
          seen[t] = &fp8_e4m3_lut();
        }
      });
    }
  }
  EXPECT_EQ(detail::fp8_e4m3_lut_builds(), 1);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(seen[t], seen[0]);
    if (t % 2 == 0) {
      EXPECT_EQ(first_codes[t], 0x38) << t;  // 1.0 = exponent 7, mantissa 0
    }
  }
}

TEST(Fp8Lut, EntriesFollowTheE4M3LayoutWithASaturatingTopBinade) {
  const auto& lut = fp8_e4m3_lut();
  const auto reference = test::reference_fp8_table();
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(std::bit_cast<uint32_t>(lut[code]), std::bit_cast<uint32_t>(reference[code])) << code;
  }
  // A few by hand, to pin the reference itself: subnormal, 1.0, the saturated top binade, -0.0.
  EXPECT_EQ(lut[0x07], 7 * std::ldexp(1.0f, -9));
  EXPECT_EQ(lut[0x38], 1.0f);
  EXPECT_EQ(lut[0x76], 224.0f);
  EXPECT_EQ(lut[0x7A], 240.0f);
  EXPECT_EQ(lut[0xFF], -240.0f);
  EXPECT_EQ(std::bit_cast<uint32_t>(lut[0x80]), 0x80000000u);
}

TEST(Fp8Encode, HandDerivedCodesAndScales) {
  {
    const auto parts = test::encoded(DType::Fp8E4m3, std::vector<float>(128, 0.0f), 1, 128);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].data, std::vector<uint8_t>(128, 0x00));
    EXPECT_EQ(test::u16s(parts[1].data), std::vector<uint16_t>{0x2E37});  // 1e-8 / 240 = 0x2E37407F
  }
  {
    std::vector<float> group(128, 0.0f);
    group[0] = 1.0f;
    group[1] = -1e-9f;  // scales to -2.4e-7: below 2^-10, keeps only its sign
    group[2] = -0.0f;
    const auto parts = test::encoded(DType::Fp8E4m3, group, 1, 128);
    EXPECT_EQ(parts[0].data[0], 0x77);
    EXPECT_EQ(parts[0].data[1], 0x80);
    EXPECT_EQ(parts[0].data[2], 0x00);
    EXPECT_EQ(test::u16s(parts[1].data), std::vector<uint16_t>{0x3B89});  // 1/240 = 0x3B888889
  }
  {
    const float tiny = std::ldexp(1.0f, -10);
    const auto parts = test::encoded(
        DType::Fp8E4m3,
        fp8_unit_group({232.0f, -232.0f, kNaN, -kNaN, 1.0f, tiny, -tiny, std::nextafter(tiny, 1.0f), 1.0625f,
                        std::nextafter(1.0625f, 2.0f), 1.5f * std::ldexp(1.0f, -9), 7.5f * std::ldexp(1.0f, -9),
                        -240.0f, 239.0f}),
        1, 128);
    const std::vector<uint8_t> expected = {
        0x77,        // 240
        0x76, 0xF6,  // midway between 224 and 240: the smaller
        0x77, 0x77,  // NaN, whatever its sign: 240, unsigned
        0x38,        // 1.0
        0x00, 0x80,  // exactly 2^-10: the tie between 0 and 2^-9 goes to 0, sign kept
        0x01,        // just above it: 2^-9
        0x38, 0x39,  // 1.0625 is midway between 1 and 1.125; just above goes up
        0x01,        // midway between 2^-9 and 2^-8
        0x07,        // midway between the last subnormal and 2^-6
        0xF7,        // -240
        0x77,        // 239 is nearer 240 than 224
    };
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(std::vector<uint8_t>(parts[0].data.begin(), parts[0].data.begin() + expected.size()), expected);
    EXPECT_EQ(test::u16s(parts[1].data), std::vector<uint16_t>{0x3F80});
  }
  {
    // An infinite value makes the scale infinite and the reciprocal zero.
    std::vector<float> group(128, 0.0f);
    group[0] = kInf;
    group[1] = 1.0f;
    group[2] = -1.0f;
    const auto parts = test::encoded(DType::Fp8E4m3, group, 1, 128);
    EXPECT_EQ(parts[0].data[0], 0x77);
    EXPECT_EQ(parts[0].data[1], 0x00);
    EXPECT_EQ(parts[0].data[2], 0x00);  // -1 * 0 is -0.0, which is not below zero
    EXPECT_EQ(test::u16s(parts[1].data), std::vector<uint16_t>{0x7F80});
  }
}

TEST(Fp8Encode, MatchesAFullTableScanOnRandomAndBoundaryValues) {
  const auto& lut = fp8_e4m3_lut();
  // Every midpoint between neighbouring entries, and its float neighbours, in unit-scale groups.
  std::vector<float> boundary;
  for (int code = 1; code <= 0x77; ++code) {
    const float mid = 0.5f * (lut[code - 1] + lut[code]);
    for (float v : {mid, std::nextafter(mid, 0.0f), std::nextafter(mid, 1000.0f), lut[code]}) {
      boundary.push_back(v);
      boundary.push_back(-v);
    }
  }
  std::vector<float> boundary_matrix;
  for (std::size_t i = 0; i < boundary.size(); i += 127) {
    const std::vector<float> chunk(boundary.begin() + i, boundary.begin() + std::min(i + 127, boundary.size()));
    const auto group = fp8_unit_group(chunk);
    boundary_matrix.insert(boundary_matrix.end(), group.begin(), group.end());
  }
  struct Case {
    std::vector<float> data;
    std::size_t rows, cols;
  };
  const Case cases[] = {
      {boundary_matrix, 1, boundary_matrix.size()},
      {test::random_matrix(3 * 300, 5), 3, 300},  // 2 groups and 44 leftover columns per row
      {test::random_matrix(33 * 8192, 6), 33, 8192},
  };
  for (const auto& [data, rows, cols] : cases) {
    SCOPED_TRACE(testing::Message() << rows << "x" << cols);
    std::vector<uint8_t> codes;
    std::vector<uint16_t> scales;
    test::reference_fp8(data, rows, cols, codes, scales);
    const auto parts = test::encoded(DType::Fp8E4m3, data, rows, cols);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].data, codes);
    EXPECT_EQ(test::u16s(parts[1].data), scales);
    EXPECT_EQ(parts[1].shape, (std::vector<std::size_t>{rows, cols / 128}));
  }
}

TEST(Fp4Encode, HandDerivedCodesWithTiesToTheLargerMagnitude) {
  std::vector<float> group(64, 0.0f);
  const std::vector<float> values = {6.0f, 2.5f, 0.25f, -5.0f, -0.0f, 0.75f, 3.5f, 1.25f,  // word 0
                                     0.2f, -0.3f, 5.0f, 5.1f, -6.0f, 1.75f, 0.0f, -1.0f};  // word 1
  std::copy(values.begin(), values.end(), group.begin());
  const auto parts = test::encoded(DType::Fp4E2m1, group, 1, 64);
  ASSERT_EQ(parts.size(), 2u);
  // codes word 0: 7, 5 (2.5 -> 3), 1 (0.25 -> 0.5), 15 (-5 -> -6), 0 (-0.0 unsigned), 2 (0.75 -> 1),
  // 6 (3.5 -> 4), 3 (1.25 -> 1.5); low nibble first.
  EXPECT_EQ(test::u32_at(parts[0].data, 0), 0x3620F157u);
  // word 1: 0 (0.2 -> 0), 9 (-0.3 -> -0.5), 7 (5 -> 6), 7 (5.1 -> 6), 15, 4 (1.75 -> 2), 0, 10 (-1).
  EXPECT_EQ(test::u32_at(parts[0].data, 1), 0xA04F7790u);
  for (std::size_t w = 2; w < 8; ++w) EXPECT_EQ(test::u32_at(parts[0].data, w), 0u);
  EXPECT_EQ(test::u16s(parts[1].data), std::vector<uint16_t>{0x3F80});

  // All zeros: amax raised to 1e-8, scale 1e-8 / 6 = 0x30E5109F.
  const auto zeros = test::encoded(DType::Fp4E2m1, std::vector<float>(64, 0.0f), 1, 64);
  EXPECT_EQ(test::u16s(zeros[1].data), std::vector<uint16_t>{0x30E5});
  EXPECT_EQ(zeros[0].data, std::vector<uint8_t>(32, 0));
  // The table itself: codes 8..15 are the negated magnitudes.
  EXPECT_EQ(fp4_e2m1_value(7), 6.0f);
  EXPECT_EQ(fp4_e2m1_value(13), -3.0f);
  EXPECT_TRUE(std::signbit(fp4_e2m1_value(8)));
}

TEST(Fp4Encode, NaNOrInfinityIsAnErrorNamingTheFirstSuchValue) {
  {
    std::vector<float> data(2 * 128, 1.0f);
    data[128 + 70] = kNaN;
    const auto result = encode(DType::Fp4E2m1, data, 2, 128);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "fp4_e2m1 cannot encode NaN or infinity (row 1, column 70, value nan)");
  }
  {
    std::vector<float> data(64, 1.0f);
    data[3] = -kInf;  // its group's scale is infinite: the value scales to NaN
    const auto result = encode(DType::Fp4E2m1, data, 1, 64);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "fp4_e2m1 cannot encode NaN or infinity (row 0, column 3, value -inf)");
  }
  {
    // Large enough to be split across threads: still the first in row-major order.
    const std::size_t rows = 64, cols = 4096;
    std::vector<float> data(rows * cols, 0.5f);
    data[63 * cols + 1] = kNaN;
    data[40 * cols + 4000] = kInf;
    data[40 * cols + 4001] = kNaN;
    const auto result = encode(DType::Fp4E2m1, data, rows, cols);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "fp4_e2m1 cannot encode NaN or infinity (row 40, column 4000, value inf)");
  }
  // A NaN in the unencoded leftover columns is never looked at.
  std::vector<float> data(70, 1.0f);
  data[65] = kNaN;
  EXPECT_TRUE(encode(DType::Fp4E2m1, data, 1, 70));
}

TEST(Fp4Encode, MatchesAFullScanOnRandomMatrices) {
  const std::pair<std::size_t, std::size_t> shapes[] = {{1, 64}, {5, 200}, {64, 4096}};
  uint32_t seed = 40;
  for (const auto& [rows, cols] : shapes) {
    SCOPED_TRACE(testing::Message() << rows << "x" << cols);
    const auto data = test::random_matrix(rows * cols, seed++);
    std::vector<uint32_t> words;
    std::vector<uint16_t> scales;
    test::reference_fp4(data, rows, cols, words, scales);
    const auto parts = test::encoded(DType::Fp4E2m1, data, rows, cols);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(test::u32s(parts[0].data), words);
    EXPECT_EQ(test::u16s(parts[1].data), scales);
    EXPECT_EQ(parts[0].shape, (std::vector<std::size_t>{rows, cols / 8}));
  }
}

}  // namespace
}  // namespace varkel
