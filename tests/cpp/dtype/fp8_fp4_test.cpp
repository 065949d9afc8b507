#include <cmath>
#include <latch>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "dtype/fp8_e4m3_lut.h"
#include "dtype/reference_codes.h"

namespace varkel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// One 128-value group holding 240 (so scale 1) and the given values after it.
std::vector<float> fp8_unit_group(const std::vector<float>& values) {
  std::vector<float> group(128, 0.0f);
  group[0] = 240.0f;
  std::copy(values.begin(), values.end(), group.begin() + 1);
  return group;
}

TEST(Fp8Lut, BuiltOnceWhileThreadsRace) {
  // Run on its own (as CTest does), this is the first use in the process.
  constexpr int kThreads = 16;
  std::latch start(kThreads);
  std::vector<const Fp8E4m3Lut*> seen(kThreads, nullptr);
  std::vector<int> codes(kThreads, -1);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        if (t % 2) seen[t] = &fp8_e4m3_lut();  // the others build it through encode
        if (auto parts = encode(DType::Fp8E4m3, fp8_unit_group({1.0f}), 1, 128)) codes[t] = (*parts)[0].data[1];
        seen[t] = &fp8_e4m3_lut();
      });
  }
  EXPECT_EQ(detail::fp8_e4m3_lut_builds(), 1);
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(seen[t] == seen[0] && codes[t] == 0x38) << t;
}

TEST(Fp8Encode, HandDerivedCodesAndScales) {
  const float tiny = std::ldexp(1.0f, -10);
  const auto parts = test::encoded(
      DType::Fp8E4m3, fp8_unit_group({232.0f, -232.0f, kNaN, -kNaN, 1.0f, tiny, -tiny, 1.0625f, -240.0f}), 1, 128);
  ASSERT_EQ(parts.size(), 2u);
  // 232 is midway: the smaller; NaN of either sign: 240 unsigned; 2^-10 ties to 0 with its sign kept.
  const std::vector<uint8_t> expected = {0x77, 0x76, 0xF6, 0x77, 0x77, 0x38, 0x00, 0x80, 0x38, 0xF7};
  EXPECT_EQ(std::vector<uint8_t>(parts[0].data.begin(), parts[0].data.begin() + 10), expected);
  EXPECT_EQ(test::u16s(parts[1].data), std::vector<uint16_t>{0x3F80});
  // All zero: amax raised to 1e-8, scale 1e-8 / 240 = 0x2E37407F.
  EXPECT_EQ(test::u16s(test::encoded(DType::Fp8E4m3, std::vector<float>(128, 0.0f), 1, 128)[1].data),
            std::vector<uint16_t>{0x2E37});
  // An infinite value: infinite scale, reciprocal zero, -1 * 0 = -0.0 is unsigned.
  std::vector<float> inf_group(128, 0.0f);
  inf_group[0] = kInf, inf_group[1] = -1.0f;
  const auto inf_parts = test::encoded(DType::Fp8E4m3, inf_group, 1, 128);
  EXPECT_TRUE(inf_parts[0].data[0] == 0x77 && inf_parts[0].data[1] == 0x00);
  EXPECT_EQ(test::u16s(inf_parts[1].data), std::vector<uint16_t>{0x7F80});
}

TEST(Fp4Encode, NaNOrInfinityIsAnErrorNamingTheFirstSuchValue) {
  // Split across threads: still the first in row-major order.
  const std::size_t rows = 64, cols = 4096;
  std::vector<float> data(rows * cols, 0.5f);
  data[63 * cols + 1] = kNaN;
  data[40 * cols + 4000] = -kInf, data[40 * cols + 4001] = kNaN;
  const auto result = encode(DType::Fp4E2m1, data, rows, cols);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "fp4_e2m1 cannot encode NaN or infinity (row 40, column 4000, value -inf)");
  std::vector<float> tail(70, 1.0f);
  tail[65] = kNaN;  // in the unencoded leftover columns
  EXPECT_TRUE(encode(DType::Fp4E2m1, tail, 1, 70));
}

TEST(Fp8AndFp4Encode, MatchFullScansOnRandomValues) {
  const std::size_t rows = 33, cols = 8192 + 72;  // leftover columns are not encoded
  const auto data = test::random_matrix(rows * cols, 6);
  std::vector<uint16_t> scales;
  const auto codes = test::reference_fp8(data, rows, cols, scales);
  const auto fp8 = test::encoded(DType::Fp8E4m3, data, rows, cols);
  ASSERT_EQ(fp8.size(), 2u);
  EXPECT_EQ(fp8[0].data, codes);
  EXPECT_EQ(test::u16s(fp8[1].data), scales);
  const auto words = test::reference_fp4(data, rows, cols, scales);
  const auto fp4 = test::encoded(DType::Fp4E2m1, data, rows, cols);
  ASSERT_EQ(fp4.size(), 2u);
  EXPECT_EQ(test::u32s(fp4[0].data), words);
  EXPECT_EQ(test::u16s(fp4[1].data), scales);
}

}  // namespace
}  // namespace varkel
