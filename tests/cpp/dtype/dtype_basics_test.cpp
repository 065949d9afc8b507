#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "dtype/bf16.h"
#include "dtype/dtype.h"
#include "dtype/part_bytes.h"
#include "dtype/quant_int4.h"
#include "dtype/reference_codes.h"

namespace varkel {
namespace {

using test::encoded;
using test::u16s;

TEST(DTypeNames, SixNamesInStorageOrderAndBack) {
  const char* expected[] = {"f32", "bf16", "u32", "u8", "fp4_e2m1", "fp8_e4m3"};
  ASSERT_EQ(std::size(kAllDTypes), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(static_cast<int>(kAllDTypes[i]), i);
    EXPECT_EQ(as_str(kAllDTypes[i]), expected[i]);
    EXPECT_EQ(dtype_from_str(expected[i]), kAllDTypes[i]);
  }
  EXPECT_EQ(static_cast<int>(DType::Fp8E4m3), 5);
  EXPECT_EQ(sizeof(DType), 1u);
  for (const char* other : {"", "F32", "BF16", "fp8", "u4", "f32 "}) EXPECT_FALSE(dtype_from_str(other)) << other;
}

TEST(Bf16, RoundingLooksOnlyAtBitsFifteenSixteenAndZero) {
  const std::pair<uint32_t, uint16_t> cases[] = {
      {0x3F808002u, 0x3F80},  // just above half-way, but bit 0 clear and bit 16 clear: down
      {0x3F808001u, 0x3F81},  // bit 0 set: up
      {0x3F808000u, 0x3F80},  // exactly half-way, even: down
      {0x3F818000u, 0x3F82},  // exactly half-way, odd: up
      {0x3F80FFFEu, 0x3F80},  // far above half-way, bit 0 clear, even: still down
      {0x3F817FFFu, 0x3F81},  // bit 15 clear: never up
      {0x7F7FFFFFu, 0x7F80},  // largest finite rounds to infinity
      {0x7F800000u, 0x7F80},  // infinity stays
      {0x7FC00000u, 0x7FC0},  // quiet NaN
      {0x7FFFFFFFu, 0x8000},  // NaN rounds over into the sign bit
      {0xFFFFFFFFu, 0x0000},  // and wraps at 16 bits
      {0x80000000u, 0x8000},  // -0.0
      {0x40400000u, 0x4040},  // 3.0
  };
  for (const auto& [bits, expected] : cases) {
    EXPECT_EQ(bf16_round_bits(bits), expected) << std::hex << bits;
    EXPECT_EQ(f32_to_bf16(std::bit_cast<float>(bits)), expected) << std::hex << bits;
  }
  // The same rule across many patterns, stated as a case table.
  for (uint64_t bits = 0; bits <= 0xFFFFFFFFull; bits += 0x1000Bull) {
    const float value = std::bit_cast<float>(static_cast<uint32_t>(bits));
    ASSERT_EQ(f32_to_bf16(value), test::reference_bf16(value)) << std::hex << bits;
  }
  EXPECT_EQ(bf16_to_f32(0x3F80), 1.0f);
  EXPECT_EQ(bf16_to_f32(0xC000), -2.0f);
  EXPECT_EQ(std::bit_cast<uint32_t>(bf16_to_f32(0x8000)), 0x80000000u);
  EXPECT_TRUE(std::isinf(bf16_to_f32(0xFF80)));
  EXPECT_EQ(std::bit_cast<uint32_t>(bf16_to_f32(0x7FC1)), 0x7FC10000u);
}

TEST(DTypeEncode, F32AndBf16KeepEveryValueAndIgnoreTheMatrixShape) {
  const std::vector<float> values = {1.0f, -2.5f, std::bit_cast<float>(0x3F808001u), 0.0f, -0.0f,
                                     std::numeric_limits<float>::infinity()};
  for (auto [rows, cols] : {std::pair<std::size_t, std::size_t>{2, 3}, {0, 0}, {100, 100}}) {
    const auto f32 = encoded(DType::F32, values, rows, cols);
    ASSERT_EQ(f32.size(), 1u);
    EXPECT_EQ(f32[0].suffix, "");
    EXPECT_EQ(f32[0].dtype, "f32");
    EXPECT_EQ(f32[0].shape, std::vector<std::size_t>{6});
    ASSERT_EQ(f32[0].data.size(), 24u);
    for (std::size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(test::u32_at(f32[0].data, i), std::bit_cast<uint32_t>(values[i])) << i;
    }

    const auto bf16 = encoded(DType::Bf16, values, rows, cols);
    ASSERT_EQ(bf16.size(), 1u);
    EXPECT_EQ(bf16[0].suffix, "");
    EXPECT_EQ(bf16[0].dtype, "bf16");
    EXPECT_EQ(bf16[0].shape, std::vector<std::size_t>{6});
    EXPECT_EQ(u16s(bf16[0].data), (std::vector<uint16_t>{0x3F80, 0xC020, 0x3F81, 0x0000, 0x8000, 0x7F80}));
  }
  EXPECT_TRUE(encoded(DType::Bf16, {}, 3, 3)[0].data.empty());
}

TEST(DTypeEncode, GroupedTypesGiveTheirPartsInOrderWithManifestShapes) {
  const std::size_t rows = 3, cols = 256;
  const std::vector<float> data = test::random_matrix(rows * cols, 1);
  struct Part {
    const char* suffix;
    const char* dtype;
    std::vector<std::size_t> shape;
    std::size_t bytes;
  };
  const std::vector<std::pair<DType, std::vector<Part>>> expected = {
      {DType::U32,
       {{".weight", "u32", {3, 32}, 3 * 32 * 4}, {".scales", "bf16", {3, 4}, 24}, {".biases", "bf16", {3, 4}, 24}}},
      {DType::U8, {{".weight", "u8", {3, 256}, 768}, {".scales", "f32", {3}, 12}}},
      {DType::Fp4E2m1, {{".weight", "fp4_e2m1", {3, 32}, 3 * 32 * 4}, {".scales", "bf16", {3, 4}, 24}}},
      {DType::Fp8E4m3, {{".weight", "fp8_e4m3", {3, 256}, 768}, {".scales", "bf16", {3, 2}, 12}}},
  };
  for (const auto& [dtype, parts] : expected) {
    SCOPED_TRACE(as_str(dtype));
    const auto got = encoded(dtype, data, rows, cols);
    ASSERT_EQ(got.size(), parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
      EXPECT_EQ(got[i].suffix, parts[i].suffix);
      EXPECT_EQ(got[i].dtype, parts[i].dtype);
      EXPECT_EQ(got[i].shape, parts[i].shape);
      EXPECT_EQ(got[i].data.size(), parts[i].bytes);
    }
  }
  // rows 0: every part empty, shapes lead with 0, no error.
  for (DType dtype : {DType::U32, DType::U8, DType::Fp4E2m1, DType::Fp8E4m3}) {
    const auto got = encoded(dtype, {}, 0, 256);
    ASSERT_FALSE(got.empty());
    for (const auto& part : got) {
      EXPECT_EQ(part.shape.at(0), 0u) << as_str(dtype) << part.suffix;
      EXPECT_TRUE(part.data.empty());
    }
  }
}

TEST(DTypeEncode, TooLittleDataIsAnErrorForEveryGroupedType) {
  const std::vector<float> data(127, 1.0f);
  for (DType dtype : {DType::U32, DType::U8, DType::Fp4E2m1, DType::Fp8E4m3}) {
    const auto result = encode(dtype, data, 2, 64);
    ASSERT_FALSE(result) << as_str(dtype);
    EXPECT_EQ(result.error(), "data too short: 127 values for 2 rows of 64 columns");
  }
  const auto int4 = quant_f32_to_int4(data, 1, 128);
  ASSERT_FALSE(int4);
  EXPECT_EQ(int4.error(), "data too short: 127 values for 1 rows of 128 columns");
  // rows * cols overflowing is no way round the check.
  const std::size_t huge = std::size_t{1} << 33;
  EXPECT_FALSE(encode(DType::U8, data, huge, huge));
  EXPECT_FALSE(quant_f32_to_int4(data, huge, huge));
  // More data than needed is fine, and the extra values are not encoded.
  std::vector<float> longer(130, 2.0f);
  longer[128] = 1000.0f;
  const auto int4_longer = quant_f32_to_int4(longer, 2, 64);
  ASSERT_TRUE(int4_longer);
  EXPECT_EQ(int4_longer->biases, (std::vector<uint16_t>{0x4000, 0x4000}));
}

}  // namespace
}  // namespace varkel
