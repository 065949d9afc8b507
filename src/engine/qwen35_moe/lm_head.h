#pragma once
// The per-token lm head: one mat-vec on the GPU into a logits row.

#include <span>

#include "engine/qwen35_moe/metal_context.h"
#include "error/moe_error.h"

namespace varkel {
class WeightFile;
}

namespace varkel::qwen35 {

// logits = lm_head x hidden, in its own command buffer with two buffers made
// for the call. Without an encodable "language_model.lm_head" the row comes
// out zero (the mat-vec has printed why). A Metal error only when the buffers
// cannot be made or the command buffer fails.
Status gpu_lm_head(const WeightFile& weights, std::span<const float> hidden, std::span<float> logits,
                   const WeightBuffer& weight_buffer, const MetalContext& ctx);

}  // namespace varkel::qwen35
