#pragma once
// One value head of the gated delta-net recurrence.

#include <cstdint>

namespace varkel::metal::delta_net {

inline constexpr uint32_t kDim = 128;  // key and value head size

// Rows 0 .. rows − 1 of one head's state (row vi = value dimension, kDim
// floats each): decay by g, write k with strength β toward v[vi], and read
// output[vi] with q. Every dot product is summed in key order, each product
// rounded before its add, as one GPU thread per row would.
void step_head(float* state, const float* q, const float* k, const float* v, float g, float beta, uint32_t rows,
               float* output);

}  // namespace varkel::metal::delta_net
