#pragma once
// Element decoders shared by the kernels.

#include <array>
#include <bit>
#include <cstdint>

namespace varkel::metal {

inline float bf16_to_f32(uint16_t bits) { return std::bit_cast<float>(static_cast<uint32_t>(bits) << 16); }

// E2M1 values by 4-bit code; bit 3 is the sign (code 8 is -0.0).
inline constexpr std::array<float, 16> kFp4E2m1Lut = {0.0f,  0.5f,  1.0f,  1.5f,  2.0f,  3.0f,  4.0f,  6.0f,
                                                      -0.0f, -0.5f, -1.0f, -1.5f, -2.0f, -3.0f, -4.0f, -6.0f};

// E4M3 values by code byte as the shader library spells them: each exact
// value written with seven decimals (half to even) and read back as f32.
const std::array<float, 256>& fp8_e4m3_lut();

}  // namespace varkel::metal
