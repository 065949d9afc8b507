#pragma once
// E2M1 magnitudes of the 4-bit codes 0..7; bit 3 of a code is the sign
// (code 8 is -0.0).

#include <array>

namespace varkel {

inline constexpr std::array<float, 8> kFp4E2m1Magnitudes = {0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 3.0f, 4.0f, 6.0f};

constexpr float fp4_e2m1_value(unsigned code) {
  const float magnitude = kFp4E2m1Magnitudes[code & 7u];
  return (code & 8u) ? -magnitude : magnitude;
}

}  // namespace varkel
