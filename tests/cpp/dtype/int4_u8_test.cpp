#include <bit>
#include <limits>

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include "dtype/bf16.h"
#include "dtype/quant_int4.h"
#include "dtype/reference_codes.h"

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

TEST(Int4, HandDerivedGroups) {
  const auto group = [](float fill, std::initializer_list<std::pair<int, float>> set) {
    std::vector<float> g(64);
    for (int c = 0; c < 64; ++c) g[c] = std::isnan(fill) ? static_cast<float>(c % 16) : fill;
    for (const auto& [c, v] : set) g[c] = v;
    return g;
  };
  struct Case {
    std::vector<float> group;
    uint16_t scale, bias;
    uint32_t word0, word1;
  };
  const Case cases[] = {
      {group(3.0f, {}), 0x3D89, 0x4040, 0, 0},  // equal values: 1/15 = 0x3D888889 rounds up
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
  ASSERT_FALSE(targets.empty());
  struct RestoreTargets {
    ~RestoreTargets() { hwy::SetSupportedTargetsForTest(0); }
  } restore;
  for (int64_t target : targets) {
    SCOPED_TRACE(hwy::TargetName(target));
    hwy::SetSupportedTargetsForTest(target);
    const auto q = quant_f32_to_int4(data, rows, cols);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->words, reference.words);
    EXPECT_EQ(q->scales, reference.scales);
    EXPECT_EQ(q->biases, reference.biases);
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

}  // namespace
}  // namespace varkel
