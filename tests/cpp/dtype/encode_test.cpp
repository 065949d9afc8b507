// Storage encodings: hand-derived bytes, hostile sizes, and the slow references in reference_codes.h.
#include <bit>
#include <cmath>
#include <latch>
#include <limits>
#include <thread>

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include "dtype/bf16.h"
#include "dtype/fp8_e4m3_lut.h"
#include "dtype/quant_int4.h"
#include "dtype/reference_codes.h"
#include "parallel/parallel_for.h"

namespace varkel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(Bf16, RoundingLooksOnlyAtBitsFifteenSixteenAndZero) {
  const std::pair<uint32_t, uint16_t> cases[] = {
      {0x3F808002u, 0x3F80}, {0x3F808001u, 0x3F81}, {0x3F808000u, 0x3F80}, {0x3F818000u, 0x3F82},
      {0x3F80FFFEu, 0x3F80}, {0x3F817FFFu, 0x3F81}, {0x7F7FFFFFu, 0x7F80}, {0x7FC00000u, 0x7FC0},
      {0x7FFFFFFFu, 0x8000}, {0xFFFFFFFFu, 0x0000}, {0x80000000u, 0x8000},
  };
  for (const auto& [bits, expected] : cases) EXPECT_EQ(f32_to_bf16(std::bit_cast<float>(bits)), expected) << bits;
  EXPECT_EQ(std::bit_cast<uint32_t>(bf16_to_f32(0x7FC1)), 0x7FC10000u);
}

TEST(DTypeEncode, TooLittleDataIsAnErrorForEveryGroupedType) {
  const std::vector<float> data(127, 1.0f);
  for (DType dtype : {DType::U32, DType::U8, DType::Fp4E2m1, DType::Fp8E4m3}) {
    const auto result = encode(dtype, data, 2, 64);
    ASSERT_FALSE(result) << as_str(dtype);
    EXPECT_EQ(result.error(), "data too short: 127 values for 2 rows of 64 columns");
  }
  const std::size_t huge = std::size_t{1} << 33;  // rows * cols overflows
  EXPECT_FALSE(encode(DType::U8, data, huge, huge));
  EXPECT_FALSE(quant_f32_to_int4(data, huge, huge));
}

// Rows narrower than one group, and rows of no columns: nothing is read past
// the data, the leftover columns keep code 0 and have no scale.
TEST(DTypeEncode, RowsNarrowerThanAGroup) {
  const std::size_t rows = 3;
  for (std::size_t cols : {0, 5, 63}) {
    SCOPED_TRACE(cols);
    const std::vector<float> data(rows * cols, 1.5f);
    const std::vector<std::size_t> no_groups = {rows, 0};
    const auto int4 = quant_f32_to_int4(data, rows, cols);
    ASSERT_TRUE(int4);
    EXPECT_EQ(int4->words, std::vector<uint32_t>(rows * (cols / 8), 0));
    EXPECT_TRUE(int4->scales.empty() && int4->biases.empty());
    for (DType dtype : {DType::U32, DType::Fp4E2m1, DType::Fp8E4m3}) {
      const auto parts = test::encoded(dtype, data, rows, cols);
      ASSERT_EQ(parts.size(), dtype == DType::U32 ? 3u : 2u) << as_str(dtype);
      const std::size_t width = dtype == DType::Fp8E4m3 ? cols : cols / 8;
      EXPECT_EQ(parts[0].shape, (std::vector<std::size_t>{rows, width})) << as_str(dtype);
      EXPECT_EQ(parts[0].data, std::vector<uint8_t>(parts[0].data.size(), 0)) << as_str(dtype);
      for (std::size_t p = 1; p < parts.size(); ++p) EXPECT_TRUE(parts[p].data.empty() && parts[p].shape == no_groups);
    }
    // 8-bit rows have one scale each, also when they are empty.
    const auto u8 = test::encoded(DType::U8, data, rows, cols);
    ASSERT_EQ(u8.size(), 2u);
    EXPECT_EQ(u8[0].data, std::vector<uint8_t>(rows * cols, 127));
    EXPECT_EQ(test::u32s(u8[1].data), std::vector<uint32_t>(rows, std::bit_cast<uint32_t>((cols ? 1.5f : 1.0f) / 127.0f)));
  }
}

TEST(Int4, HandDerivedGroups) {
  const auto group = [](float fill, std::initializer_list<std::pair<int, float>> set) {
    std::vector<float> g(64);
    for (int c = 0; c < 64; ++c) g[c] = std::isnan(fill) ? static_cast<float>(c % 16) : fill;
    for (const auto& [c, v] : set) g[c] = v;
    return g;
  };
  struct Case { std::vector<float> group; uint16_t scale, bias; uint32_t word0, word1; };
  const Case cases[] = {
      // 2.5 -> 3 (halves up); a NaN is skipped by min and max and gets code 0.
      {group(kNaN, {{5, 2.5f}, {9, kNaN}}), 0x3F80, 0x0000, 0x76343210, 0xFEDCBA08},
      {group(1e30f, {}), 0x0000, 0x714A, 0, 0},  // mn + 1 == mn: scale 0, codes 0
      {group(15.0f, {{10, 0.0f}, {20, -0.0f}}), 0x3F80, 0x8000, 0xFFFFFFFF, 0xFFFFF0FF},  // -0 is the min
  };
  for (const Case& c : cases) {
    const auto q = quant_f32_to_int4(c.group, 1, 64);
    ASSERT_TRUE(q);
    EXPECT_TRUE(q->scales[0] == c.scale && q->biases[0] == c.bias && q->words[0] == c.word0 && q->words[1] == c.word1)
        << c.scale;
  }
}

TEST(Int4, EverySimdTargetMatchesTheDirectReference) {
  const std::size_t rows = 64, cols = 4104;  // split across threads; 8 leftover columns
  auto data = test::random_matrix(rows * cols, 10);
  for (std::size_t i = 0; i < data.size(); i += 97) data[i] = i % 2 ? 1e-40f : 0.0f;
  for (std::size_t i = 128; i < 192; ++i) data[i] = 2.5f;  // a group of one value
  const auto reference = test::reference_int4(data, rows, cols);
  const auto targets = hwy::SupportedAndGeneratedTargets();
  struct Restore { ~Restore() { hwy::SetSupportedTargetsForTest(0); } } restore;
  for (int64_t target : targets) {
    SCOPED_TRACE(hwy::TargetName(target));
    hwy::SetSupportedTargetsForTest(target);
    const auto q = quant_f32_to_int4(data, rows, cols);
    ASSERT_TRUE(q);
    EXPECT_TRUE(q->words == reference.words && q->scales == reference.scales && q->biases == reference.biases);
  }
}

TEST(U8, HandDerivedRows) {
  const std::vector<float> data = {
      0.5f,   -1.0f, 0.25f, 0.0f,    -0.0f, 0.75f,   // amax 1: inv 127
      127.0f, 2.5f,  -2.5f, -127.0f, kNaN,  126.5f,  // scale 1; halves away from zero; NaN -> 0
      kInf,   1.0f,  -kInf, 0.0f,    5.0f,  -5.0f,   // infinite scale: every code 0
  };
  const auto parts = test::encoded(DType::U8, data, 3, 6);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].data, (std::vector<uint8_t>{64, 0x81, 32, 0, 0, 95, 127, 3, 0xFD, 0x81, 0, 127,
                                                 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(test::u32s(parts[1].data), (std::vector<uint32_t>{0x3C010204, 0x3F800000, 0x7F800000}));
  EXPECT_EQ(parts[1].shape, std::vector<std::size_t>{3});
}

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

TEST(Fp4Encode, HandDerivedCodesWithTiesToTheLargerMagnitude) {
  std::vector<float> group = {6.0f, 2.5f, 0.25f, -5.0f, -0.0f, 0.75f, 3.5f, 1.25f};
  group.resize(64, 0.0f);
  const auto parts = test::encoded(DType::Fp4E2m1, group, 1, 64);
  ASSERT_EQ(parts.size(), 2u);
  // 7, 5, 1, 15, 0 (-0.0 unsigned), 2, 6, 3; low nibble first. All zero: scale 1e-8 / 6 = 0x30E5109F.
  EXPECT_EQ(test::u32s(parts[0].data), (std::vector<uint32_t>{0x3620F157u, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(test::u16s(parts[1].data), std::vector<uint16_t>{0x3F80});
  EXPECT_EQ(test::u16s(test::encoded(DType::Fp4E2m1, std::vector<float>(64, 0.0f), 1, 64)[1].data),
            std::vector<uint16_t>{0x30E5});
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

// Big inputs are split on the process's worker pool (the threads
// VARKEL_THREADS sizes), small ones stay on the caller, and an encode inside a
// chunk of a pool run (an expert of a layer) stays on that chunk's thread.
TEST(EncodeThreads, BigInputsRunOnTheWorkerPoolSmallAndNestedOnesInline) {
  struct Case {
    std::size_t rows, cols;
    bool split;
  };
  const Case cases[] = {{64, 4096, true}, {63, 4096, false}, {1, std::size_t{1} << 18, false}};
  const auto regions = [] { return parallel::pool_stats().regions; };
  for (const auto& [rows, cols, split] : cases) {
    const auto data = test::random_matrix(rows * cols, 3);
    for (DType dtype : {DType::U32, DType::U8, DType::Fp4E2m1, DType::Fp8E4m3}) {
      SCOPED_TRACE(testing::Message() << as_str(dtype) << " " << rows << "x" << cols);
      const uint64_t before = regions();
      ASSERT_TRUE(encode(dtype, data, rows, cols));
      EXPECT_EQ(regions() - before, split ? 1u : 0u);
    }
  }
  const std::size_t rows = 64, cols = 4096;
  const auto data = test::random_matrix(rows * cols, 4);
  const auto alone = test::encoded(DType::Fp4E2m1, data, rows, cols);
  std::vector<std::vector<EncodedTensor>> nested(4);
  const uint64_t before = regions();
  parallel::for_each_index(nested.size(),
                           [&](std::size_t i) { nested[i] = test::encoded(DType::Fp4E2m1, data, rows, cols); });
  EXPECT_EQ(regions() - before, 1u);
  for (const auto& parts : nested) {
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_TRUE(parts[0].data == alone[0].data && parts[1].data == alone[1].data);
  }
}

}  // namespace
}  // namespace varkel
