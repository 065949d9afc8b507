#include <bit>
#include <cstring>

#include "dtype/bf16.h"
#include "safetensors/safetensors.h"

namespace varkel {

namespace {

uint16_t load_u16_le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// IEEE binary16 to single precision, exactly; subnormals become normals.
float f16_to_f32(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  const uint32_t exponent = (h >> 10) & 0x1Fu;
  const uint32_t mantissa = h & 0x3FFu;
  uint32_t bits;
  if (exponent == 31) {
    bits = sign | 0x7F800000u | (mantissa << 13);
  } else if (exponent != 0) {
    bits = sign | ((exponent + 112) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    bits = sign;
  } else {
    const int top = std::bit_width(mantissa) - 1;  // 0..9
    bits = sign | (static_cast<uint32_t>(103 + top) << 23) | ((mantissa << (23 - top)) & 0x7FFFFFu);
  }
  return std::bit_cast<float>(bits);
}

}  // namespace

std::vector<float> bytes_to_f32(std::span<const uint8_t> bytes, std::string_view dtype) {
  if (dtype == "F32") {
    std::vector<float> out(bytes.size() / 4);
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * 4);  // little-endian host
    return out;
  }
  std::vector<float> out(bytes.size() / 2);
  const uint8_t* p = bytes.data();
  if (dtype == "F16") {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = f16_to_f32(load_u16_le(p + 2 * i));
  } else {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = bf16_to_f32(load_u16_le(p + 2 * i));
  }
  return out;
}

}  // namespace varkel
