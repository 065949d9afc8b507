#pragma once
// The gate activations, on exp_f32 so that every machine gives the same bits.

#include "math_util/exp_f32.h"

namespace varkel::metal {

inline float sigmoid(float u) { return 1.0f / (1.0f + exp_f32(-u)); }
inline float silu(float u) { return u / (1.0f + exp_f32(-u)); }

}  // namespace varkel::metal
