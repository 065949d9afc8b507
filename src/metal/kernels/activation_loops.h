#pragma once
// Element-wise loops around the gate activations, on the best SIMD target:
// each element gets the same float steps, and so the same bits, as the
// scalar expression beside each function.

#include <cstddef>
#include <cstdint>

namespace varkel::metal::activation_loops {

// out[i] = silu(gate[i]) * up[i].
void silu_times(const float* gate, const float* up, float* out, std::size_t n);

// x[i] = x[i] * sigmoid(gate[i]).
void times_sigmoid(float* x, const float* gate, std::size_t n);

// out[i] = x[i] * inv * silu(z[i]) * bf16(w[i]).
void scaled_silu_gate(const float* x, float inv, const float* z, const uint16_t* w, float* out, std::size_t n);

// Channels [begin, end) of the depthwise convolution step over the states
// s0, s1, s2 (oldest first), the input x and four bf16 taps per channel:
// acc = 0 + s0 × w0 + s1 × w1 + s2 × w2 + x × w3 added in that order,
// out = silu(acc), and the states shifted by one with x last.
void conv1d_step(float* s0, float* s1, float* s2, const float* x, const uint16_t* w, float* out, std::size_t begin,
                 std::size_t end);

}  // namespace varkel::metal::activation_loops
