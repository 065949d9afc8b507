#include <fmt/format.h>

#include "engine/qwen35_constants.h"
#include "engine/qwen35_moe/metal_kernels.h"
#include "engine/qwen35_moe/pre_expert.h"
#include "engine/qwen35_moe/try.h"
#include "model/weights/weight_file.h"

namespace varkel::qwen35 {
namespace {

constexpr uint32_t kThreads = 256;
constexpr uint32_t kQHeads = 16;
constexpr uint32_t kKvHeads = 2;
constexpr uint32_t kHead = 256;
constexpr uint32_t kRotaryDim = 64;
constexpr float kRopeTheta = 1e7f;
constexpr float kAttnScale = 0.0625f;  // 1 / sqrt(256)
constexpr uint32_t kBlock = 32;        // positions per block of the blocked core
constexpr uint32_t kPartialFloats = 258;


metal::Size groups(uint32_t x, uint32_t y = 1) { return metal::Size{x, y, 1}; }

Status encode_attention_core(AttentionMode mode, const MetalContext& ctx, metal::ComputeCommandEncoder& enc,
                             const Operand& k_cache, const Operand& v_cache, uint32_t pos) {
  const auto& p = ctx.pipelines;
  const uint32_t seq_len = pos + 1;
  if (mode == AttentionMode::FusedExp1) {
    return encode_dispatch(enc, p.attn_sdpa_fused, "attn_sdpa_fused", {ctx.buf_q, k_cache, v_cache, ctx.buf_attn_out},
                           {Constant::u32(seq_len), Constant::f32(kAttnScale)}, groups(kQHeads), kThreads);
  }
  const uint32_t num_blocks = (pos + kBlock) / kBlock;
  // One partials record per (head, block); the command buffer keeps the
  // buffer alive until it has run, so this reference can go at once.
  auto partials = ctx.device->new_buffer(static_cast<std::size_t>(num_blocks) * kQHeads * kPartialFloats * 4, 0);
  if (!partials) return fail(MoEError::metal(fmt::format("attention partials buffer: {}", partials.error())));
  VARKEL_TRY(encode_dispatch(enc, p.attn_sdpa_block, "attn_sdpa_block", {ctx.buf_q, k_cache, v_cache, *partials},
                             {Constant::u32(seq_len), Constant::u32(num_blocks), Constant::f32(kAttnScale)},
                             groups(kQHeads, num_blocks), kThreads));
  return encode_dispatch(enc, p.attn_sdpa_reduce, "attn_sdpa_reduce", {*partials, ctx.buf_attn_out},
                         {Constant::u32(num_blocks)}, groups(kQHeads), kThreads);
}

}  // namespace

std::string layer_tensor(uint32_t layer, std::string_view rest) {
  return fmt::format("language_model.model.layers.{}{}", layer, rest);
}

namespace detail {

Result<bool> encode_router(const WeightFile& weights, const WeightBuffer& wb, const MetalContext& ctx,
                           metal::ComputeCommandEncoder& enc, uint32_t layer, uint32_t num_experts,
                           const metal::BufferPtr& residual, const metal::BufferPtr& normed,
                           const metal::BufferPtr& logits) {
  const std::string post_key = layer_tensor(layer, ".post_attention_layernorm.weight");
  const TensorInfo* post = weights.find(post_key);
  if (post == nullptr) return fail(MoEError::config("tensor not found: " + post_key));
  VARKEL_TRY(encode_dispatch(enc, ctx.pipelines.rms_norm_fused_bf16, "rms_norm_fused_bf16",
                             {residual, wb.operand(weights, *post), normed},
                             {Constant::u32(kHiddenSize), Constant::f32(kRmsNormEps)}, groups(1), kThreads));
  return wb.encode_matvec_into(weights, ctx, enc, layer_tensor(layer, ".mlp.gate"), normed, logits, num_experts,
                               static_cast<uint32_t>(kHiddenSize));
}

Status encode_post_attention(const WeightFile& weights, const WeightBuffer& wb, const MetalContext& ctx,
                             metal::ComputeCommandEncoder& enc, uint32_t layer, uint32_t num_experts) {
  VARKEL_TRY(
      encode_router(weights, wb, ctx, enc, layer, num_experts, ctx.buf_h_mid, ctx.buf_mlp_in, ctx.buf_router_logits));
  const std::string mlp = layer_tensor(layer, ".mlp");
  constexpr auto hidden = static_cast<uint32_t>(kHiddenSize);
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, mlp + ".shared_expert.gate_proj", ctx.buf_mlp_in,
                                   ctx.buf_shared_gate, 512, hidden));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, mlp + ".shared_expert.up_proj", ctx.buf_mlp_in,
                                   ctx.buf_shared_up, 512, hidden));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, mlp + ".shared_expert_gate", ctx.buf_mlp_in,
                                   ctx.buf_shared_gate_score, 1, hidden));
  return {};
}

}  // namespace detail

Status encode_pre_expert_full(AttentionMode mode, const WeightFile& weights, const WeightBuffer& wb,
                              const MetalContext& ctx, metal::ComputeCommandEncoder& enc, uint32_t layer,
                              uint32_t full_idx, uint32_t pos, uint32_t num_experts) {
  const auto& p = ctx.pipelines;
  const std::string attn = layer_tensor(layer, ".self_attn");
  constexpr auto hidden = static_cast<uint32_t>(kHiddenSize);
  const Operand k_cache = ctx.k_cache_buffers.at(full_idx);
  const Operand v_cache = ctx.v_cache_buffers.at(full_idx);

  const std::string in_key = layer_tensor(layer, ".input_layernorm.weight");
  const TensorInfo* in_norm = weights.find(in_key);
  if (in_norm == nullptr) return fail(MoEError::config("tensor not found: " + in_key));
  VARKEL_TRY(encode_dispatch(enc, p.rms_norm_fused_bf16, "rms_norm_fused_bf16",
                             {ctx.buf_hidden, wb.operand(weights, *in_norm), ctx.buf_attn_normed},
                             {Constant::u32(hidden), Constant::f32(kRmsNormEps)}, groups(1), kThreads));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".q_proj", ctx.buf_attn_normed, ctx.buf_q_proj,
                                   2 * kQHeads * kHead, hidden));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".k_proj", ctx.buf_attn_normed, ctx.buf_k,
                                   kKvHeads * kHead, hidden));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".v_proj", ctx.buf_attn_normed, ctx.buf_v,
                                   kKvHeads * kHead, hidden));

  const TensorInfo* q_norm = weights.find(attn + ".q_norm.weight");
  if (q_norm == nullptr) return fail(MoEError::config("q_norm.weight missing"));
  VARKEL_TRY(encode_dispatch(enc, p.q_head_norm_rope, "q_head_norm_rope",
                             {ctx.buf_q_proj, wb.operand(weights, *q_norm), ctx.buf_q, ctx.buf_q_gate},
                             {Constant::u32(kHead), Constant::u32(kRotaryDim), Constant::f32(kRopeTheta),
                              Constant::u32(pos), Constant::f32(kRmsNormEps)},
                             groups(kQHeads), kThreads));
  const TensorInfo* k_norm = weights.find(attn + ".k_norm.weight");
  if (k_norm == nullptr) return fail(MoEError::config("k_norm.weight missing"));
  VARKEL_TRY(encode_dispatch(enc, p.k_head_norm_rope, "k_head_norm_rope", {ctx.buf_k, wb.operand(weights, *k_norm)},
                             {Constant::u32(kHead), Constant::u32(kRotaryDim), Constant::f32(kRopeTheta),
                              Constant::u32(pos), Constant::f32(kRmsNormEps)},
                             groups(kKvHeads), kThreads));
  VARKEL_TRY(encode_dispatch(enc, p.kv_cache_append, "kv_cache_append", {ctx.buf_k, ctx.buf_v, k_cache, v_cache},
                             {Constant::u32(pos), Constant::u32(static_cast<uint32_t>(kKvDim))},
                             groups(ceil_div(static_cast<uint32_t>(kKvDim), kThreads)), kThreads));
  VARKEL_TRY(encode_attention_core(mode, ctx, enc, k_cache, v_cache, pos));
  VARKEL_TRY(encode_dispatch(enc, p.sigmoid_gate, "sigmoid_gate", {ctx.buf_attn_out, ctx.buf_q_gate},
                             {Constant::u32(kQHeads * kHead)}, groups(ceil_div(kQHeads * kHead, kThreads)), kThreads));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".o_proj", ctx.buf_attn_out, ctx.buf_attn_proj, hidden,
                                   kQHeads * kHead));
  VARKEL_TRY(encode_dispatch(enc, p.residual_add, "residual_add", {ctx.buf_attn_proj, ctx.buf_hidden, ctx.buf_h_mid},
                             {Constant::u32(hidden)}, groups(ceil_div(hidden, kThreads)), kThreads));
  return detail::encode_post_attention(weights, wb, ctx, enc, layer, num_experts);
}

}  // namespace varkel::qwen35
