#include "metal/kernels/decode_tables.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace varkel::metal {

namespace {

double e4m3_exact(unsigned code) {
  unsigned e = (code >> 3) & 0xF;
  unsigned m = code & 0x7;
  double magnitude;
  if (e == 0) {
    magnitude = std::ldexp(static_cast<double>(m), -9);
  } else if (e == 15) {
    magnitude = 240.0;
  } else {
    magnitude = std::ldexp(1.0 + m / 8.0, static_cast<int>(e) - 7);
  }
  return (code & 0x80) ? -magnitude : magnitude;
}

}  // namespace

const std::array<float, 256>& fp8_e4m3_lut() {
  static const std::array<float, 256> table = [] {
    std::array<float, 256> t{};
    for (unsigned code = 0; code < 256; ++code) {
      // printf rounds the exact binary value half to even; strtof reads the
      // decimal back to the nearest f32, as a compiler reads a literal.
      char text[64];
      std::snprintf(text, sizeof text, "%.7f", e4m3_exact(code));
      t[code] = std::strtof(text, nullptr);
    }
    return t;
  }();
  return table;
}

}  // namespace varkel::metal
