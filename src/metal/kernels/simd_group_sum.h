#pragma once
// The one order in which a SIMD group adds its lanes' values, followed by the
// scalar kernels and by every SIMD target alike.

#include <algorithm>
#include <cstdint>
#include <span>

namespace varkel::metal {

inline constexpr uint32_t kSimdGroupLanes = 32;

// A shuffle-down tree: lane l adds lane l + 16, then l + 8, l + 4, l + 2 and
// l + 1; lane 0 holds the sum.
inline float simd_group_sum(std::span<const float, kSimdGroupLanes> lanes) {
  float v[kSimdGroupLanes];
  std::copy(lanes.begin(), lanes.end(), v);
  for (uint32_t offset = kSimdGroupLanes / 2; offset != 0; offset /= 2) {
    for (uint32_t l = 0; l < offset; ++l) v[l] = v[l] + v[l + offset];
  }
  return v[0];
}

}  // namespace varkel::metal
