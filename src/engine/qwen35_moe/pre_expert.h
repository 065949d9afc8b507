#pragma once
// The first half of a decoder layer for one token, recorded into the caller's
// compute encoder: attention (full or gated delta-net linear), the residual
// add, the post-attention norm, and the router and shared-expert projections
// of the result. Nothing runs until the caller commits; on an error the
// caller must drop the command buffer uncommitted.

#include <cstdint>
#include <string>

#include "engine/qwen35_moe/forward_pass.h"
#include "engine/qwen35_moe/metal_context.h"
#include "error/moe_error.h"
#include "metal/metal.h"

namespace varkel {
class WeightFile;
}

namespace varkel::qwen35 {

// A full-attention layer (layer mod 4 = 3) at position `pos` (< 4096; the
// caller refuses larger positions before committing). `mode` picks the
// single-pass or the blocked attention core.
Status encode_pre_expert_full(AttentionMode mode, const WeightFile& weights, const WeightBuffer& weight_buffer,
                              const MetalContext& ctx, metal::ComputeCommandEncoder& enc, uint32_t layer,
                              uint32_t full_idx, uint32_t pos, uint32_t num_experts);

// A linear-attention layer; reads the normed input from buf_normed and
// advances the layer's convolution and recurrent state.
Status encode_pre_expert_linear(const WeightFile& weights, const WeightBuffer& weight_buffer, const MetalContext& ctx,
                                metal::ComputeCommandEncoder& enc, uint32_t layer, uint32_t lin_idx,
                                uint32_t num_experts);

// "language_model.model.layers.{layer}" followed by `rest`.
std::string layer_tensor(uint32_t layer, std::string_view rest);

namespace detail {
// The post-attention norm of `residual` into `normed` and the router's
// logits of it into `logits`; false when the router is missing (a line on
// stderr says so).
Result<bool> encode_router(const WeightFile& weights, const WeightBuffer& weight_buffer, const MetalContext& ctx,
                           metal::ComputeCommandEncoder& enc, uint32_t layer, uint32_t num_experts,
                           const metal::BufferPtr& residual, const metal::BufferPtr& normed,
                           const metal::BufferPtr& logits);
// Steps shared by both stages from buf_h_mid on: the post-attention norm, then
// the router, shared gate, shared up and shared gate-score mat-vecs of
// buf_mlp_in.
Status encode_post_attention(const WeightFile& weights, const WeightBuffer& weight_buffer, const MetalContext& ctx,
                             metal::ComputeCommandEncoder& enc, uint32_t layer, uint32_t num_experts);
}  // namespace detail

}  // namespace varkel::qwen35

namespace varkel::qwen35 {
// The full stage with the engine's attention core fixed.
template <AttentionMode M>
Status encode_pre_expert_full_for(const WeightFile& weights, const WeightBuffer& weight_buffer, const MetalContext& ctx,
                                  metal::ComputeCommandEncoder& enc, uint32_t layer, uint32_t full_idx, uint32_t pos,
                                  uint32_t num_experts) {
  return encode_pre_expert_full(M, weights, weight_buffer, ctx, enc, layer, full_idx, pos, num_experts);
}
}  // namespace varkel::qwen35

namespace varkel::qwen35::fused_exp1 {
inline constexpr auto encode_pre_expert_full = &encode_pre_expert_full_for<AttentionMode::FusedExp1>;
using qwen35::encode_pre_expert_linear;
}  // namespace varkel::qwen35::fused_exp1

namespace varkel::qwen35::fused_exp2 {
inline constexpr auto encode_pre_expert_full = &encode_pre_expert_full_for<AttentionMode::FusedExp2>;
using qwen35::encode_pre_expert_linear;
}  // namespace varkel::qwen35::fused_exp2
