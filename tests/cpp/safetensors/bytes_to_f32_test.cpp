#include <bit>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "safetensors/safetensors.h"

namespace varkel {
namespace {

std::vector<uint8_t> le16s(const std::vector<uint16_t>& values) {
  std::vector<uint8_t> bytes;
  for (uint16_t v : values) {
    bytes.push_back(static_cast<uint8_t>(v & 0xFF));
    bytes.push_back(static_cast<uint8_t>(v >> 8));
  }
  return bytes;
}

uint32_t bits(float value) { return std::bit_cast<uint32_t>(value); }

// binary16 by its definition, in double arithmetic.
double f16_value(uint16_t h) {
  const int sign = h >> 15, exponent = (h >> 10) & 31, mantissa = h & 1023;
  double magnitude;
  if (exponent == 31) {
    magnitude = mantissa ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  } else if (exponent == 0) {
    magnitude = std::ldexp(mantissa, -24);
  } else {
    magnitude = std::ldexp(1024 + mantissa, exponent - 25);
  }
  return sign ? -magnitude : magnitude;
}

TEST(BytesToF32, CountsWholeElementsAndDropsTheRest) {
  const std::vector<uint8_t> seven = {0x00, 0x00, 0x80, 0x3F, 0x11, 0x22, 0x33};
  EXPECT_EQ(bytes_to_f32(seven, "F32"), std::vector<float>{1.0f});
  EXPECT_EQ(bytes_to_f32({seven.data(), 3}, "F16").size(), 1u);
  EXPECT_EQ(bytes_to_f32({seven.data(), 3}, "BF16").size(), 1u);
  for (const char* dtype : {"F32", "F16", "BF16", ""}) EXPECT_TRUE(bytes_to_f32({}, dtype).empty()) << dtype;
  // F32 bits are copied unchanged, NaN payloads included.
  const std::vector<uint8_t> nan = {0x01, 0x00, 0xC0, 0xFF, 0x00, 0x00, 0x00, 0x80};
  const auto floats = bytes_to_f32(nan, "F32");
  ASSERT_EQ(floats.size(), 2u);
  EXPECT_EQ(bits(floats[0]), 0xFFC00001u);
  EXPECT_EQ(bits(floats[1]), 0x80000000u);
}

TEST(BytesToF32, HalfPrecisionConvertsExactly) {
  // Every pattern against the definition; NaNs keep their sign and payload.
  std::vector<uint16_t> all(65536);
  for (uint32_t h = 0; h < 65536; ++h) all[h] = static_cast<uint16_t>(h);
  const auto converted = bytes_to_f32(le16s(all), "F16");
  ASSERT_EQ(converted.size(), 65536u);
  for (uint32_t h = 0; h < 65536; ++h) {
    const double expected = f16_value(static_cast<uint16_t>(h));
    if (std::isnan(expected)) {
      ASSERT_EQ(bits(converted[h]), ((h & 0x8000u) << 16) | 0x7F800000u | ((h & 0x3FFu) << 13)) << h;
    } else {
      ASSERT_EQ(static_cast<double>(converted[h]), expected) << h;
      ASSERT_EQ(std::signbit(converted[h]), (h & 0x8000u) != 0) << h;
    }
  }
  // A few by hand, to pin the definition itself.
  EXPECT_EQ(converted[0x3C00], 1.0f);
  EXPECT_EQ(converted[0xC000], -2.0f);
  EXPECT_EQ(converted[0x7BFF], 65504.0f);
  EXPECT_EQ(converted[0x0001], std::ldexp(1.0f, -24));
  EXPECT_EQ(converted[0x0400], std::ldexp(1.0f, -14));
  EXPECT_EQ(bits(converted[0x7C00]), 0x7F800000u);
  EXPECT_EQ(bits(converted[0x7C01]), 0x7F802000u);  // a signalling payload is shifted, not quieted
}

TEST(BytesToF32, EveryOtherTypeTextReadsAsBf16) {
  const auto bytes = le16s({0x3F80, 0xC049, 0x7FC1, 0x0001});
  const std::vector<uint32_t> expected = {0x3F800000, 0xC0490000, 0x7FC10000, 0x00010000};
  for (const char* dtype : {"BF16", "f16", "F64", "I64", "", "f32", "F32 "}) {
    const auto floats = bytes_to_f32(bytes, dtype);
    ASSERT_EQ(floats.size(), 4u) << dtype;
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(bits(floats[i]), expected[i]) << dtype << " " << i;
  }
}

}  // namespace
}  // namespace varkel
