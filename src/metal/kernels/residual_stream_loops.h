#pragma once
// The residual-stream norm and combine loops on the best SIMD target: one
// lane per element (or per thread of the norm's threadgroup), each with the
// scalar kernel's float steps in the scalar kernel's order.

#include <cstddef>
#include <cstdint>

namespace varkel::metal::residual_stream_loops {

// own[t − first] = x[t]² + x[t + threads]² + ... (below n) from 0, in that
// order, for t in [first, first + count), count ≤ threads − first: what
// thread t of a norm's threadgroup sums.
void thread_sums_of_squares(const float* x, std::size_t n, uint32_t threads, uint32_t first, uint32_t count,
                            float* own);

// out[i] = x[i] × inv × bf16(w[i]).
void scale_bf16(const float* x, float inv, const uint16_t* w, float* out, std::size_t n);

// hidden[i] = h_mid[i] + (0 + weights[0] × experts[0][i] + ... in slot order)
// + gate × shared[i], over `used` expert slots.
void moe_combine(const float* h_mid, const float* shared, float gate, const float* const* experts,
                 const float* weights, uint32_t used, float* hidden, std::size_t n);

}  // namespace varkel::metal::residual_stream_loops
