#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include "dtype/dtype.h"
#include "dtype/part_bytes.h"
#include "dtype/quant_int4.h"
#include "dtype/reference_codes.h"

namespace varkel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// Values c % 16 over one group: min 0, max 15, scale 1, code = value.
std::vector<float> ramp_group() {
  std::vector<float> group(64);
  for (int c = 0; c < 64; ++c) group[c] = static_cast<float>(c % 16);
  return group;
}

TEST(Int4, HandDerivedGroups) {
  {
    const auto q = quant_f32_to_int4(std::vector<float>(64, 3.0f), 1, 64);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->scales, std::vector<uint16_t>{0x3D89});  // 1/15 = 0x3D888889 rounds up
    EXPECT_EQ(q->biases, std::vector<uint16_t>{0x4040});
    EXPECT_EQ(q->words, std::vector<uint32_t>(8, 0u));
  }
  {
    std::vector<float> group = ramp_group();
    group[5] = 2.5f;  // 2.5 + 0.5 = 3.0 exactly: halves go up
    group[9] = kNaN;  // skipped by min and max, code 0
    const auto q = quant_f32_to_int4(group, 1, 64);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->scales, std::vector<uint16_t>{0x3F80});
    EXPECT_EQ(q->biases, std::vector<uint16_t>{0x0000});
    EXPECT_EQ(q->words, (std::vector<uint32_t>{0x76343210, 0xFEDCBA08, 0x76543210, 0xFEDCBA98, 0x76543210,
                                               0xFEDCBA98, 0x76543210, 0xFEDCBA98}));
  }
  {
    // A NaN first value does not poison min and max.
    std::vector<float> group(64);
    for (int c = 0; c < 64; ++c) group[c] = static_cast<float>(c % 16 + 1);
    group[0] = kNaN;
    const auto q = quant_f32_to_int4(group, 1, 64);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->scales, std::vector<uint16_t>{0x3F80});
    EXPECT_EQ(q->biases, std::vector<uint16_t>{0x3F80});
    EXPECT_EQ(q->words[0], 0x76543210u);
  }
  {
    // mn + 1 == mn: scale 0, infinite reciprocal, NaN products, code 0.
    const auto q = quant_f32_to_int4(std::vector<float>(64, 1e30f), 1, 64);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->scales, std::vector<uint16_t>{0x0000});
    EXPECT_EQ(q->biases, std::vector<uint16_t>{0x714A});  // 1e30 = 0x7149F2CA
    EXPECT_EQ(q->words, std::vector<uint32_t>(8, 0u));
  }
  {
    // -0.0 orders below +0.0 whichever comes first: the bias keeps the sign.
    for (const auto& [first, second] : {std::pair{0.0f, -0.0f}, std::pair{-0.0f, 0.0f}}) {
      std::vector<float> group(64, 15.0f);
      group[10] = first;
      group[20] = second;
      const auto q = quant_f32_to_int4(group, 1, 64);
      ASSERT_TRUE(q);
      EXPECT_EQ(q->biases, std::vector<uint16_t>{0x8000});
      EXPECT_EQ(q->scales, std::vector<uint16_t>{0x3F80});
      EXPECT_EQ(q->words[1], 0xFFFFF0FFu);
      EXPECT_EQ(q->words[2], 0xFFF0FFFFu);
    }
    // Only +0.0 at the bottom: no sign.
    std::vector<float> group(64, 15.0f);
    group[0] = 0.0f;
    EXPECT_EQ(quant_f32_to_int4(group, 1, 64)->biases, std::vector<uint16_t>{0x0000});
    // Mixed zeros at the top of an all-negative group: the maximum is +0.0, so
    // the scale is 15/15 either way and the bias is -15.
    std::vector<float> negative(64, -15.0f);
    negative[3] = -0.0f;
    negative[4] = 0.0f;
    const auto q = quant_f32_to_int4(negative, 1, 64);
    EXPECT_EQ(q->biases, std::vector<uint16_t>{0xC170});
    EXPECT_EQ(q->words[0], 0x000FF000u);
  }
  {
    // A group of equal values decodes to the bf16 rounding of the value.
    const float value = std::bit_cast<float>(0x3F808001u);
    const auto q = quant_f32_to_int4(std::vector<float>(64, value), 1, 64);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->biases[0], 0x3F81);
    EXPECT_EQ(q->words, std::vector<uint32_t>(8, 0u));
  }
}

TEST(Int4, LayoutOfRowsGroupsAndLeftoverColumns) {
  // 2 rows of 136 columns: 2 groups per row and 8 leftover columns, whose
  // word stays 0 and which have no scale.
  const std::size_t rows = 2, cols = 136;
  std::vector<float> data(rows * cols, 100.0f);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < 128; ++c) data[r * cols + c] = static_cast<float>(c % 16) + 16.0f * r + c / 64;
  }
  const auto q = quant_f32_to_int4(data, rows, cols);
  ASSERT_TRUE(q);
  ASSERT_EQ(q->words.size(), 2u * 17);
  ASSERT_EQ(q->scales.size(), 4u);
  // bias of group g in row r: 16 r + g.
  EXPECT_EQ(q->biases, (std::vector<uint16_t>{0x0000, 0x3F80, 0x4180, 0x4188}));
  EXPECT_EQ(q->scales, std::vector<uint16_t>(4, 0x3F80));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t w = 0; w < 16; ++w) EXPECT_EQ(q->words[r * 17 + w], w % 2 ? 0xFEDCBA98u : 0x76543210u);
    EXPECT_EQ(q->words[r * 17 + 16], 0u) << "leftover columns are not encoded";
  }
  // Through encode, the words are little-endian bytes: low nibble of the first byte is column 0.
  const auto parts = test::encoded(DType::U32, data, rows, cols);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].data[0], 0x10);
  EXPECT_EQ(parts[0].data[3], 0x76);
  EXPECT_EQ(test::u32s(parts[0].data), q->words);
  EXPECT_EQ(test::u16s(parts[1].data), q->scales);
  EXPECT_EQ(test::u16s(parts[2].data), q->biases);
  EXPECT_EQ(parts[0].shape, (std::vector<std::size_t>{2, 17}));
  EXPECT_EQ(parts[1].shape, (std::vector<std::size_t>{2, 2}));
}

TEST(Int4, EverySimdTargetMatchesTheDirectReference) {
  // Small shapes and one large enough to be split across threads. A zero
  // extreme, a denormal and a group of one repeated value take every target's
  // slow paths; NaN, infinities and -0.0, which the reference does not model,
  // must give the same bytes on every target.
  const std::pair<std::size_t, std::size_t> shapes[] = {{1, 64}, {3, 200}, {7, 512}, {64, 4096}};
  const auto targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  struct RestoreTargets {
    ~RestoreTargets() { hwy::SetSupportedTargetsForTest(0); }
  } restore;
  const auto quantized = [](int64_t target, const std::vector<float>& data, std::size_t rows, std::size_t cols) {
    hwy::SetSupportedTargetsForTest(target);
    auto q = quant_f32_to_int4(data, rows, cols);
    EXPECT_TRUE(q);
    return q ? std::move(*q) : Int4Quantized{};
  };
  uint32_t seed = 10;
  for (const auto& [rows, cols] : shapes) {
    SCOPED_TRACE(testing::Message() << rows << "x" << cols);
    auto data = test::random_matrix(rows * cols, seed++);
    for (std::size_t i = 0; i < data.size(); i += 97) data[i] = i % 2 ? 1e-40f : 0.0f;
    for (std::size_t i = 128; i < 192 && i < data.size(); ++i) data[i] = 2.5f;
    const auto reference = test::reference_int4(data, rows, cols);
    auto specials = data;
    const float odd[] = {kNaN, kInf, -kInf, -0.0f, -3.0f};
    for (std::size_t i = 5; i < specials.size(); i += 89) specials[i] = odd[(i / 89) % std::size(odd)];
    const Int4Quantized baseline = quantized(targets.back(), specials, rows, cols);
    for (int64_t target : targets) {
      SCOPED_TRACE(hwy::TargetName(target));
      const Int4Quantized q = quantized(target, data, rows, cols);
      EXPECT_EQ(q.words, reference.words);
      EXPECT_EQ(q.scales, reference.scales);
      EXPECT_EQ(q.biases, reference.biases);
      const Int4Quantized odd_q = quantized(target, specials, rows, cols);
      EXPECT_EQ(odd_q.words, baseline.words);
      EXPECT_EQ(odd_q.scales, baseline.scales);
      EXPECT_EQ(odd_q.biases, baseline.biases);
    }
  }
}

TEST(U8, HandDerivedRows) {
  const std::size_t cols = 6;
  const std::vector<float> data = {
      0.5f, -1.0f, 0.25f, 0.0f, -0.0f, 0.75f,       // amax 1: scale 1/127, inv 127
      0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f,           // all zero: scale 1/127, codes 0
      127.0f, 2.5f, -2.5f, -127.0f, kNaN, 126.5f,   // amax 127: scale 1; halves away from zero
      kInf, 1.0f, -kInf, 0.0f, 5.0f, -5.0f,         // infinite scale: inv 0, every code 0
  };
  const auto parts = test::encoded(DType::U8, data, 4, cols);
  ASSERT_EQ(parts.size(), 2u);
  const std::vector<uint8_t> expected_codes = {
      64, 0x81, 32, 0, 0, 95,         // 0.75 * 127 = 95.25
      0, 0, 0, 0, 0, 0,               //
      127, 3, 0xFD, 0x81, 0, 127,     // -2.5 -> -3, NaN -> 0
      0, 0, 0, 0, 0, 0,               //
  };
  EXPECT_EQ(parts[0].data, expected_codes);
  EXPECT_EQ(parts[0].shape, (std::vector<std::size_t>{4, 6}));
  EXPECT_EQ(test::u32s(parts[1].data), (std::vector<uint32_t>{0x3C010204, 0x3C010204, 0x3F800000, 0x7F800000}));
  EXPECT_EQ(parts[1].shape, std::vector<std::size_t>{4});
}

TEST(U8, CodesStayWithinPlusMinus127AndDecodeCloseToTheInput) {
  const std::size_t rows = 40, cols = 300;
  auto data = test::random_matrix(rows * cols, 77);
  data[5] = -1e6f;  // row 0's extreme is negative
  const auto parts = test::encoded(DType::U8, data, rows, cols);
  ASSERT_EQ(parts.size(), 2u);
  for (std::size_t r = 0; r < rows; ++r) {
    const float scale = std::bit_cast<float>(test::u32_at(parts[1].data, r));
    float amax = 0.0f;
    for (std::size_t c = 0; c < cols; ++c) amax = std::max(amax, std::fabs(data[r * cols + c]));
    ASSERT_EQ(scale, amax / 127.0f);
    for (std::size_t c = 0; c < cols; ++c) {
      const auto code = static_cast<int8_t>(parts[0].data[r * cols + c]);
      ASSERT_NE(code, -128);
      const double expected = std::round(static_cast<double>(data[r * cols + c]) * (1.0 / scale));
      ASSERT_LE(std::fabs(code - expected), 1.0) << r << "," << c;
      ASSERT_LE(std::fabs(code * static_cast<double>(scale) - data[r * cols + c]), 0.5001 * scale);
    }
  }
  EXPECT_EQ(static_cast<int8_t>(parts[0].data[5]), -127);
}

}  // namespace
}  // namespace varkel
