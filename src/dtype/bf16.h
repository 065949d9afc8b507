#pragma once
// bf16 is the upper half of an f32 bit pattern.

#include <bit>
#include <cstdint>

namespace varkel {

// The rounding every bf16 we write goes through. Rounds up when bit 15 is set
// and bit 16 or bit 0 is set; the other low bits are not looked at, so this is
// deliberately not round-to-nearest-even (0x3F808002 -> 0x3F80). NaN is not
// special-cased: 0x7FFFFFFF wraps to 0x8000.
constexpr uint16_t bf16_round_bits(uint32_t bits) {
  const uint32_t high = bits >> 16;
  const uint32_t up = ((bits >> 15) & 1u) & (((bits >> 16) | bits) & 1u);
  return static_cast<uint16_t>(high + up);
}

inline uint16_t f32_to_bf16(float value) { return bf16_round_bits(std::bit_cast<uint32_t>(value)); }

inline float bf16_to_f32(uint16_t pattern) { return std::bit_cast<float>(static_cast<uint32_t>(pattern) << 16); }

}  // namespace varkel
