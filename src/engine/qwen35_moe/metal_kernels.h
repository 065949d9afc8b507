#pragma once
// Thin kernel encoders: each sets its pipeline, binds its operands, sets its
// 4-byte constants inline and dispatches, appending to the caller's open
// compute encoder. Nothing here creates, commits or waits for a command
// buffer, allocates a buffer or reads a result.

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#include "engine/qwen35_moe/metal_context.h"
#include "error/moe_error.h"
#include "metal/metal.h"

namespace varkel::qwen35 {

// One 4-byte kernel constant.
struct Constant {
  uint32_t bits = 0;
  static Constant u32(uint32_t value) { return {value}; }
  static Constant i32(int32_t value) { return {static_cast<uint32_t>(value)}; }
  static Constant f32(float value) { return {std::bit_cast<uint32_t>(value)}; }
};

// Columns per scale group of the grouped mat-vec storage types; fixed, not
// read from the manifest.
inline constexpr uint32_t kU32GroupSize = 64;
inline constexpr uint32_t kFp4GroupSize = 64;
inline constexpr uint32_t kFp8GroupSize = 128;

// ceil(a / b) in 32-bit unsigned arithmetic.
constexpr uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

// The generic dispatch every encoder is made of: `pipeline` (Shader error
// "{missing_name} kernel missing" when absent, before anything is set), the
// operands at indices 0.. in order, the constants at the indices after them,
// then `threadgroups` x (threads, 1, 1).
Status encode_dispatch(metal::ComputeCommandEncoder& enc, const metal::ComputePipelineStatePtr& pipeline,
                       std::string_view missing_name, std::initializer_list<Operand> buffers,
                       std::initializer_list<Constant> constants, metal::Size threadgroups, uint32_t threads);

// Variant <= 0: dequant_matvec_4bit (out_dim x 256); 1 or 2:
// dequant_matvec_4bit_fast (out_dim x 64); >= 3: dequant_matvec_4bit_v3
// (ceil(out_dim/8) x 256).
Status encode_matvec_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                            const Operand& scales, const Operand& biases, const Operand& x, const Operand& out,
                            uint32_t out_dim, uint32_t in_dim, uint32_t group_size, int32_t variant);
Status encode_matvec_bf16_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                                 const Operand& x, const Operand& out, uint32_t out_dim, uint32_t in_dim);
Status encode_matvec_int8_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                                 const Operand& scales, const Operand& x, const Operand& out, uint32_t out_dim,
                                 uint32_t in_dim);
Status encode_matvec_fp4_e2m1_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                                     const Operand& scales, const Operand& x, const Operand& out, uint32_t out_dim,
                                     uint32_t in_dim, uint32_t group_size);
Status encode_matvec_fp8_e4m3_offset(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& w,
                                     const Operand& scales, const Operand& x, const Operand& out, uint32_t out_dim,
                                     uint32_t in_dim, uint32_t group_size);
// swiglu_fused_vec4 when dim % 4 == 0 and that pipeline exists, else
// swiglu_fused; the constant is the element count either way.
Status encode_swiglu(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& gate, const Operand& up,
                     const Operand& out, uint32_t dim);
Status encode_conv1d_step(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& conv_state,
                          const Operand& input, const Operand& weight, const Operand& output, uint32_t conv_dim);
Status encode_rms_norm_qk(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& q, const Operand& k,
                          uint32_t num_heads, uint32_t key_dim, float inv_scale);
Status encode_compute_decay_beta(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& alpha,
                                 const Operand& beta, const Operand& a_log, const Operand& dt_bias,
                                 const Operand& g_decay, const Operand& beta_gate, uint32_t num_v_heads);
Status encode_gated_delta_net_step(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& state,
                                   const Operand& q, const Operand& k, const Operand& v, const Operand& g_decay,
                                   const Operand& beta_gate, const Operand& output, uint32_t num_v_heads,
                                   uint32_t k_heads_per_v, uint32_t value_dim);
// eps is fixed at 1e-6.
Status encode_gated_rms_norm(const MetalContext& ctx, metal::ComputeCommandEncoder& enc, const Operand& values,
                             const Operand& z, const Operand& weight, const Operand& output, uint32_t num_heads,
                             uint32_t value_dim);

}  // namespace varkel::qwen35
