#include <bit>

#include "engine/qwen35_constants.h"
#include "engine/qwen35_moe/metal_kernels.h"
#include "engine/qwen35_moe/pre_expert.h"
#include "engine/qwen35_moe/try.h"
#include "model/weights/weight_file.h"

namespace varkel::qwen35 {
namespace {

constexpr uint32_t kThreads = 256;
constexpr uint32_t kKeyHeads = 16;
constexpr uint32_t kValueHeads = 32;
constexpr uint32_t kHeadSize = 128;
constexpr uint32_t kMixedWidth = 8192;  // q 2048 + k 2048 + v 4096
constexpr uint32_t kValueWidth = kValueHeads * kHeadSize;
// 1 / sqrt(128) as the f32 0x3DB504F3.
const float kInvScale = std::bit_cast<float>(0x3DB504F3u);
// q, k and v inside the convolution output.
constexpr uint64_t kQOffset = 0;
constexpr uint64_t kKOffset = 8192;
constexpr uint64_t kVOffset = 16384;

}  // namespace

Status encode_pre_expert_linear(const WeightFile& weights, const WeightBuffer& wb, const MetalContext& ctx,
                                metal::ComputeCommandEncoder& enc, uint32_t layer, uint32_t lin_idx,
                                uint32_t num_experts) {
  const std::string attn = layer_tensor(layer, ".linear_attn");
  constexpr auto hidden = static_cast<uint32_t>(kHiddenSize);
  const std::vector<metal::BufferPtr>& scratch = ctx.linear_scratch;
  const Operand conv_q(ctx.buf_conv_out, kQOffset);
  const Operand conv_k(ctx.buf_conv_out, kKOffset);
  const Operand conv_v(ctx.buf_conv_out, kVOffset);

  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".in_proj_qkv", ctx.buf_normed, scratch[0], kMixedWidth,
                                   hidden));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".in_proj_z", ctx.buf_normed, scratch[1], kValueWidth,
                                   hidden));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".in_proj_b", ctx.buf_normed, scratch[2], kValueHeads,
                                   hidden));
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".in_proj_a", ctx.buf_normed, scratch[3], kValueHeads,
                                   hidden));
  // Without taps the convolution is skipped: its output and history stay as they were.
  if (const TensorInfo* conv = weights.find(attn + ".conv1d.weight")) {
    VARKEL_TRY(encode_conv1d_step(ctx, enc, ctx.conv_state_buffers.at(lin_idx), scratch[0], wb.operand(weights, *conv),
                                  ctx.buf_conv_out, kMixedWidth));
  }
  VARKEL_TRY(encode_rms_norm_qk(ctx, enc, conv_q, conv_k, kKeyHeads, kHeadSize, kInvScale));
  // An absent A_log or dt_bias is stood in for by the a or b projection.
  const TensorInfo* a_log = weights.find(attn + ".A_log");
  const TensorInfo* dt_bias = weights.find(attn + ".dt_bias");
  const Operand a_log_operand = a_log ? wb.operand(weights, *a_log) : Operand(scratch[3]);
  const Operand dt_bias_operand = dt_bias ? wb.operand(weights, *dt_bias) : Operand(scratch[2]);
  VARKEL_TRY(encode_compute_decay_beta(ctx, enc, scratch[3], scratch[2], a_log_operand, dt_bias_operand,
                                       ctx.buf_g_decay, ctx.buf_beta_gate, kValueHeads));
  VARKEL_TRY(encode_gated_delta_net_step(ctx, enc, ctx.ssm_state_buffers.at(lin_idx), conv_q, conv_k, conv_v,
                                         ctx.buf_g_decay, ctx.buf_beta_gate, ctx.buf_delta_out, kValueHeads,
                                         kValueHeads / kKeyHeads, kHeadSize));
  if (const TensorInfo* norm = weights.find(attn + ".norm.weight")) {
    VARKEL_TRY(encode_gated_rms_norm(ctx, enc, ctx.buf_delta_out, scratch[1], wb.operand(weights, *norm), scratch[6],
                                     kValueHeads, kHeadSize));
  }
  VARKEL_TRY(wb.encode_matvec_into(weights, ctx, enc, attn + ".out_proj", scratch[6], ctx.buf_attn_proj, hidden,
                                   kValueWidth));
  VARKEL_TRY(encode_dispatch(enc, ctx.pipelines.residual_add, "residual_add",
                             {ctx.buf_attn_proj, ctx.buf_hidden, ctx.buf_h_mid}, {Constant::u32(hidden)},
                             metal::Size{ceil_div(hidden, kThreads), 1, 1}, kThreads));
  return detail::encode_post_attention(weights, wb, ctx, enc, layer, num_experts);
}

}  // namespace varkel::qwen35
