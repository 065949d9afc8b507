#include "engine/qwen35_moe/metal_kernels.h"

#include <fmt/format.h>

#include <cstdio>
#include <string>

#include "model/weights/weight_file.h"

namespace varkel::qwen35 {

namespace {

constexpr uint32_t kTiledThreads = 256;
constexpr uint32_t kRowsPerThreadgroup = 8;
constexpr float kGatedNormEps = 1e-6f;

metal::Size groups(uint32_t n) { return metal::Size{n, 1, 1}; }

}  // namespace

Status encode_dispatch(metal::ComputeCommandEncoder& enc, const metal::ComputePipelineStatePtr& pipeline,
                       std::string_view missing_name, std::initializer_list<Operand> buffers,
                       std::initializer_list<Constant> constants, metal::Size threadgroups, uint32_t threads) {
  if (!pipeline) return fail(MoEError::shader(fmt::format("{} kernel missing", missing_name)));
  enc.set_compute_pipeline_state(pipeline);
  uint32_t index = 0;
  for (const Operand& operand : buffers) enc.set_buffer(operand.buffer, operand.offset, index++);
  for (const Constant& constant : constants) enc.set_bytes(&constant.bits, sizeof(constant.bits), index++);
  enc.dispatch_threadgroups(threadgroups, metal::Size{threads, 1, 1});
  return {};
}

Status encode_matvec_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                            const Operand& scales, const Operand& biases, const Operand& x, const Operand& out,
                            uint32_t out_dim, uint32_t in_dim, uint32_t group_size, int32_t variant) {
  const auto& p = ctx.pipelines;
  std::initializer_list<Constant> constants = {Constant::u32(out_dim), Constant::u32(in_dim), Constant::u32(group_size)};
  if (variant >= 3) {
    return encode_dispatch(enc, p.dequant_matvec_4bit_v3, "dequant_matvec_4bit_v3", {w, scales, biases, x, out},
                           constants, groups(ceil_div(out_dim, kRowsPerThreadgroup)), kTiledThreads);
  }
  if (variant >= 1) {
    return encode_dispatch(enc, p.dequant_matvec_4bit_fast, "dequant_matvec_4bit_fast", {w, scales, biases, x, out},
                           constants, groups(out_dim), 64);
  }
  return encode_dispatch(enc, p.dequant_matvec_4bit, "dequant_matvec_4bit", {w, scales, biases, x, out}, constants,
                         groups(out_dim), kTiledThreads);
}

Status encode_matvec_bf16_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                                 const Operand& x, const Operand& out, uint32_t out_dim, uint32_t in_dim) {
  return encode_dispatch(enc, ctx.pipelines.matvec_bf16, "matvec_bf16", {w, x, out},
                         {Constant::u32(out_dim), Constant::u32(in_dim)},
                         groups(ceil_div(out_dim, kRowsPerThreadgroup)), kTiledThreads);
}

Status encode_matvec_int8_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                                 const Operand& scales, const Operand& x, const Operand& out, uint32_t out_dim,
                                 uint32_t in_dim) {
  return encode_dispatch(enc, ctx.pipelines.matvec_int8, "matvec_int8", {w, scales, x, out},
                         {Constant::u32(out_dim), Constant::u32(in_dim)},
                         groups(ceil_div(out_dim, kRowsPerThreadgroup)), kTiledThreads);
}

namespace {

// The two grouped-scale kernels without biases share one binding layout.
Status encode_scaled_matvec(const metal::ComputePipelineStatePtr& pipeline, std::string_view missing_name,
                            metal::ComputeCommandEncoder& enc, const Operand& w, const Operand& scales, const Operand& x,
                            const Operand& out, uint32_t out_dim, uint32_t in_dim, uint32_t group_size) {
  return encode_dispatch(enc, pipeline, missing_name, {w, scales, x, out},
                         {Constant::u32(out_dim), Constant::u32(in_dim), Constant::u32(group_size)},
                         groups(ceil_div(out_dim, kRowsPerThreadgroup)), kTiledThreads);
}

}  // namespace

Status encode_matvec_fp4_e2m1_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                                     const Operand& scales, const Operand& x, const Operand& out, uint32_t out_dim,
                                     uint32_t in_dim, uint32_t group_size) {
  return encode_scaled_matvec(ctx.pipelines.dequant_matvec_fp4_e2m1, "matvec_fp4_e2m1", enc, w, scales, x, out,
                              out_dim, in_dim, group_size);
}

Status encode_matvec_fp8_e4m3_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                                     const Operand& scales, const Operand& x, const Operand& out, uint32_t out_dim,
                                     uint32_t in_dim, uint32_t group_size) {
  return encode_scaled_matvec(ctx.pipelines.matvec_fp8_e4m3, "matvec_fp8_e4m3", enc, w, scales, x, out, out_dim,
                              in_dim, group_size);
}

Status encode_swiglu(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& gate, const Operand& up,
                     const Operand& out, uint32_t dim) {
  const auto& p = ctx.pipelines;
  if (dim % 4 == 0 && p.swiglu_fused_vec4) {
    return encode_dispatch(enc, p.swiglu_fused_vec4, "swiglu_fused_vec4", {gate, up, out}, {Constant::u32(dim)},
                           groups(((dim / 4) + 255) / 256), 256);
  }
  return encode_dispatch(enc, p.swiglu_fused, "swiglu_fused", {gate, up, out}, {Constant::u32(dim)},
                         groups(ceil_div(dim, 256)), 256);
}

Status encode_conv1d_step(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& conv_state,
                          const Operand& input, const Operand& weight, const Operand& output, uint32_t conv_dim) {
  return encode_dispatch(enc, ctx.pipelines.conv1d_step, "conv1d_step", {conv_state, input, weight, output},
                         {Constant::u32(conv_dim)}, groups(ceil_div(conv_dim, 256)), 256);
}

Status encode_rms_norm_qk(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& q, const Operand& k,
                          uint32_t num_heads, uint32_t key_dim, float inv_scale) {
  return encode_dispatch(enc, ctx.pipelines.rms_norm_qk, "rms_norm_qk", {q, k},
                         {Constant::u32(key_dim), Constant::f32(inv_scale)}, groups(num_heads), key_dim);
}

Status encode_compute_decay_beta(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& alpha,
                                 const Operand& beta, const Operand& a_log, const Operand& dt_bias,
                                 const Operand& g_decay, const Operand& beta_gate, uint32_t num_v_heads) {
  return encode_dispatch(enc, ctx.pipelines.compute_decay_beta, "compute_decay_beta",
                         {alpha, beta, a_log, dt_bias, g_decay, beta_gate}, {}, groups(1), num_v_heads);
}

Status encode_gated_delta_net_step(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& state,
                                   const Operand& q, const Operand& k, const Operand& v, const Operand& g_decay,
                                   const Operand& beta_gate, const Operand& output, uint32_t num_v_heads,
                                   uint32_t k_heads_per_v, uint32_t value_dim) {
  return encode_dispatch(enc, ctx.pipelines.gated_delta_net_step, "gated_delta_net_step",
                         {state, q, k, v, g_decay, beta_gate, output}, {Constant::u32(k_heads_per_v)},
                         groups(num_v_heads), value_dim);
}

Status encode_gated_rms_norm(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& values,
                             const Operand& z, const Operand& weight, const Operand& output, uint32_t num_heads,
                             uint32_t value_dim) {
  return encode_dispatch(enc, ctx.pipelines.gated_rms_norm, "gated_rms_norm", {values, z, weight, output},
                         {Constant::u32(value_dim), Constant::f32(kGatedNormEps)}, groups(num_heads), value_dim);
}

// ---------------------------------------------------------------------------
// Weight mat-vec dispatch.

uint64_t WeightBuffer::offset_of(const WeightFile& weights, const TensorInfo& info) const {
  // The buffer wraps the mapping from its first byte: the address minus the
  // base is the manifest offset.
  const uint8_t* address = weights.data() + info.offset;
  return static_cast<uint64_t>(address - base_ptr);
}

Operand WeightBuffer::operand(const WeightFile& weights, const TensorInfo& info) const {
  return Operand(buffer, offset_of(weights, info));
}

Result<bool> WeightBuffer::encode_matvec_into(const WeightFile& weights, const MetalContext& ctx,
                                              metal::ComputeCommandEncoder& enc, std::string_view name,
                                              const Operand& x, const Operand& out, uint32_t out_dim,
                                              uint32_t in_dim) const {
  const std::string weight_key = fmt::format("{}.weight", name);
  const TensorInfo* weight = weights.find(weight_key);
  if (weight == nullptr) {
    fmt::print(stderr, "[encode_matvec_into] WARNING: tensor not found: {}.weight\n", name);
    return false;
  }
  // Companions in lookup order; the first absent one ends the call.
  auto companion = [&](std::string_view suffix) -> const TensorInfo* {
    const TensorInfo* info = weights.find(fmt::format("{}.{}", name, suffix));
    if (info == nullptr) fmt::print(stderr, "[encode_matvec_into] WARNING: tensor not found: {}.{}\n", name, suffix);
    return info;
  };
  const Operand w = operand(weights, *weight);
  const std::string& dtype = weight->dtype;
  Status status;
  if (dtype == "u32") {
    const TensorInfo* scales = companion("scales");
    if (scales == nullptr) return false;
    const TensorInfo* biases = companion("biases");
    if (biases == nullptr) return false;
    status = encode_matvec_offset(ctx, enc, w, operand(weights, *scales), operand(weights, *biases), x, out, out_dim,
                                  in_dim, kU32GroupSize, 3);
  } else if (dtype == "bf16") {
    status = encode_matvec_bf16_offset(ctx, enc, w, x, out, out_dim, in_dim);
  } else if (dtype == "u8" || dtype == "fp4_e2m1" || dtype == "fp8_e4m3") {
    const TensorInfo* scales = companion("scales");
    if (scales == nullptr) return false;
    const Operand s = operand(weights, *scales);
    if (dtype == "u8") {
      status = encode_matvec_int8_offset(ctx, enc, w, s, x, out, out_dim, in_dim);
    } else if (dtype == "fp4_e2m1") {
      status = encode_matvec_fp4_e2m1_offset(ctx, enc, w, s, x, out, out_dim, in_dim, kFp4GroupSize);
    } else {
      status = encode_matvec_fp8_e4m3_offset(ctx, enc, w, s, x, out, out_dim, in_dim, kFp8GroupSize);
    }
  } else {
    fmt::print(stderr, "[encode_matvec_into] ERROR: unsupported dtype '{}' for tensor {}\n",
               dtype == "f32" ? "f32" : "unknown", weight_key);
    return false;
  }
  if (!status) return fail(std::move(status.error()));
  return true;
}

}  // namespace varkel::qwen35
