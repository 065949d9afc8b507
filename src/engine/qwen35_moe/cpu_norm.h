#pragma once
// The two RMS norms the CPU applies at the ends of the layer stack.
//
// Both sum the squares in f32 from -0.0 in index order, take
// inv = 1 / sqrt(s x (1/2048) + 1e-6) once, and apply the bf16 weight as w
// (not 1 + w); they differ only in the order of the final multiplications,
// which can change the last bit.

#include <span>
#include <string_view>

#include "error/moe_error.h"

namespace varkel {
class WeightFile;
}

namespace varkel::qwen35 {

inline constexpr std::string_view kFinalNormWeight = "language_model.model.norm.weight";

// x_i = x_i x (w_i x inv) under "language_model.model.norm.weight"; x is
// left alone when the weight is absent. Config error when it holds fewer than
// 2048 values.
Status final_norm(const WeightFile& weights, std::span<float> x);

// out_i = (x_i x inv) x w_i under the named bf16 weight (the layer-0 input
// norm); out = x when the weight is absent. Config error when it holds fewer
// than 2048 values.
Status input_norm(const WeightFile& weights, std::string_view weight_name, std::span<const float> x,
                  std::span<float> out);

}  // namespace varkel::qwen35
