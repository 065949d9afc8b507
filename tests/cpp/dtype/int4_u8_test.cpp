#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <optional>

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

// One group of 64: `fill`, or c % 16 + `ramp_from` with a ramp, then the given values at their columns.
std::vector<float> group_of(std::optional<float> fill, std::initializer_list<std::pair<int, float>> set = {},
                            float ramp_from = 0.0f) {
  std::vector<float> group(64);
  for (int c = 0; c < 64; ++c) group[c] = fill ? *fill : static_cast<float>(c % 16) + ramp_from;
  for (const auto& [column, value] : set) group[column] = value;
  return group;
}

TEST(Int4, HandDerivedGroups) {
  struct Case {
    const char* what;
    std::vector<float> group;
    std::optional<uint16_t> scale;
    uint16_t bias;
    std::map<int, uint32_t> words;  // the words checked; every word when it has all 8
  };
  const std::vector<uint32_t> ramp = {0x76343210, 0xFEDCBA08, 0x76543210, 0xFEDCBA98,
                                      0x76543210, 0xFEDCBA98, 0x76543210, 0xFEDCBA98};
  std::map<int, uint32_t> zero_words, ramp_words;
  for (int w = 0; w < 8; ++w) zero_words[w] = 0, ramp_words[w] = ramp[w];
  const Case cases[] = {
      {"equal values: 1/15 = 0x3D888889 rounds up", group_of(3.0f), 0x3D89, 0x4040, zero_words},
      // 2.5 + 0.5 = 3.0 exactly: halves go up; a NaN is skipped by min and max and gets code 0.
      {"ramp", group_of(std::nullopt, {{5, 2.5f}, {9, NAN}}), 0x3F80, 0x0000, ramp_words},
      {"a NaN first value does not poison min and max", group_of(std::nullopt, {{0, NAN}}, 1.0f), 0x3F80, 0x3F80,
       {{0, 0x76543210}}},
      // mn + 1 == mn: scale 0, infinite reciprocal, NaN products, code 0; 1e30 = 0x7149F2CA.
      {"huge equal values", group_of(1e30f), 0x0000, 0x714A, zero_words},
      // -0.0 orders below +0.0 whichever comes first: the bias keeps the sign.
      {"-0 then +0", group_of(15.0f, {{10, -0.0f}, {20, 0.0f}}), 0x3F80, 0x8000, {{1, 0xFFFFF0FF}, {2, 0xFFF0FFFF}}},
      {"+0 then -0", group_of(15.0f, {{10, 0.0f}, {20, -0.0f}}), 0x3F80, 0x8000, {{1, 0xFFFFF0FF}, {2, 0xFFF0FFFF}}},
      {"only +0 at the bottom: no sign", group_of(15.0f, {{0, 0.0f}}), std::nullopt, 0x0000, {}},
      // The maximum is +0.0, so the scale is 15/15 either way and the bias is -15.
      {"mixed zeros at the top", group_of(-15.0f, {{3, -0.0f}, {4, 0.0f}}), std::nullopt, 0xC170, {{0, 0x000FF000}}},
      {"equal values decode to the value's bf16 rounding", group_of(std::bit_cast<float>(0x3F808001u)), std::nullopt,
       0x3F81, zero_words},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto q = quant_f32_to_int4(c.group, 1, 64);
    ASSERT_TRUE(q);
    ASSERT_EQ(q->words.size(), 8u);
    if (c.scale) {
      EXPECT_EQ(q->scales, std::vector<uint16_t>{*c.scale});
    }
    EXPECT_EQ(q->biases, std::vector<uint16_t>{c.bias});
    for (const auto& [w, word] : c.words) EXPECT_EQ(q->words[w], word) << std::hex << w;
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
