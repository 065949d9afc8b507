#pragma once
// The CPU router between a layer's two GPU stages: softmax over the router
// logits, top-k, and renormalisation of the picked weights.

#include <cstdint>
#include <span>
#include <vector>

namespace varkel::qwen35 {

// In place, f32: m = maxNum(-inf, x...) (a NaN logit is ignored), e_i =
// exp_f32(x_i - m), s = 0 + e_0 + e_1 + ... in index order, p_i = e_i x (1 / s).
void softmax_in_place(std::span<float> x);

// t = -0.0 + v_0 + ... + v_{k-1}; when t > 0 every v_i becomes v_i x (1 / t),
// otherwise (zero or NaN) the values stay as they are.
void renormalise(std::span<float> values);

// The k experts a token uses in one layer, in slot order (top-k heap order).
struct Routing {
  std::vector<uint32_t> experts;
  std::vector<float> weights;  // renormalised combine weights, one per slot
};

// Softmax over `logits` (a copy, changed in place), top-k, renormalisation.
// Requires 1 <= k; with fewer logits than k the extra slots stay expert 0
// with weight 0.
Routing route(std::vector<float> logits, uint32_t k);

}  // namespace varkel::qwen35
