#include "dtype/fp8_e4m3_lut.h"

#include <atomic>
#include <cmath>

namespace varkel {

namespace {

std::atomic<int> builds{0};

Fp8E4m3Lut build_lut() {
  builds.fetch_add(1, std::memory_order_relaxed);
  Fp8E4m3Lut lut{};
  for (int code = 0; code < 256; ++code) {
    const int exponent = (code >> 3) & 0xF;
    const int mantissa = code & 7;
    float magnitude;
    if (exponent == 0) {
      magnitude = std::ldexp(static_cast<float>(mantissa), -9);
    } else if (exponent == 15) {
      magnitude = 240.0f;
    } else {
      magnitude = std::ldexp(static_cast<float>(8 + mantissa), exponent - 10);
    }
    lut[code] = (code & 0x80) ? -magnitude : magnitude;
  }
  return lut;
}

}  // namespace

const Fp8E4m3Lut& fp8_e4m3_lut() {
  // A function-local static: initialised once under the runtime's guard, and
  // trivially destructible, so it outlives every user.
  static const Fp8E4m3Lut lut = build_lut();
  return lut;
}

namespace detail {
int fp8_e4m3_lut_builds() { return builds.load(std::memory_order_relaxed); }
}  // namespace detail

}  // namespace varkel
