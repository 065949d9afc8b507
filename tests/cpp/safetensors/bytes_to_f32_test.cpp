#include <bit>
#include <cmath>

#include <gtest/gtest.h>

#include "safetensors/safetensors.h"

namespace varkel {
namespace {

std::vector<uint8_t> le16s(const std::vector<uint16_t>& values) {
  std::vector<uint8_t> bytes;
  for (uint16_t v : values) bytes.insert(bytes.end(), {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)});
  return bytes;
}

std::vector<uint32_t> bits(const std::vector<float>& values) {
  std::vector<uint32_t> out;
  for (float v : values) out.push_back(std::bit_cast<uint32_t>(v));
  return out;
}

TEST(BytesToF32, F16Bf16AndF32Anchors) {
  // F32: bits copied, NaN payload kept; a trailing partial element is dropped.
  EXPECT_EQ(bits(bytes_to_f32(std::vector<uint8_t>{0x01, 0x00, 0xC0, 0xFF, 0x00, 0x00, 0x00, 0x80, 0x11}, "F32")),
            (std::vector<uint32_t>{0xFFC00001u, 0x80000000u}));
  // F16: normal, negative, largest, smallest subnormal, smallest normal, -0, inf, signalling NaN shifted.
  EXPECT_EQ(bits(bytes_to_f32(le16s({0x3C00, 0xC000, 0x7BFF, 0x0001, 0x0400, 0x8000, 0x7C00, 0xFC01}), "F16")),
            (std::vector<uint32_t>{0x3F800000u, 0xC0000000u, std::bit_cast<uint32_t>(65504.0f), 0x33800000u,
                                   0x38800000u, 0x80000000u, 0x7F800000u, 0xFF802000u}));
  EXPECT_EQ(bytes_to_f32(std::vector<uint8_t>{0x00, 0x3C, 0x00}, "F16").size(), 1u);
  // Every other type text reads as BF16.
  for (const char* dtype : {"BF16", "f16", "F64", "", "F32 "}) {
    EXPECT_EQ(bits(bytes_to_f32(le16s({0x3F80, 0xC049, 0x7FC1, 0x0001}), dtype)),
              (std::vector<uint32_t>{0x3F800000u, 0xC0490000u, 0x7FC10000u, 0x00010000u}))
        << dtype;
  }
}

}  // namespace
}  // namespace varkel
