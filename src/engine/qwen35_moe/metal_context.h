#pragma once
// Every GPU object of one engine: device, queue, the compiled shader library,
// the 29 pipelines, the per-layer recurrent state and key/value caches, the
// stage scratch buffers and the sequence position; plus the one no-copy
// buffer over the weight file and the expert staging buffers.
//
// Nothing is shared between engines: each construction opens the device,
// compiles the whole shader source and allocates every buffer anew.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/qwen35_constants.h"
#include "engine/qwen35_moe/embedded_shader.h"
#include "error/moe_error.h"
#include "metal/metal.h"

namespace varkel {

class Cache;
class ExpertFile;
class WeightFile;
struct TensorInfo;

namespace qwen35 {

class MetalContext;

// A GPU operand: a buffer and a byte offset into it. Converts from a plain
// buffer (offset 0).
struct Operand {
  metal::BufferPtr buffer;
  uint64_t offset = 0;

  Operand() = default;
  Operand(metal::BufferPtr b, uint64_t off = 0) : buffer(std::move(b)), offset(off) {}  // NOLINT: implicit
};

// The 29 pipelines, in declaration order. Required ones are always present
// in a built context; an absent optional one is reported by the stage that
// needs it (" kernel missing").
struct Pipelines {
  metal::ComputePipelineStatePtr dequant_matvec_4bit;
  metal::ComputePipelineStatePtr dequant_matvec_4bit_fast;
  metal::ComputePipelineStatePtr dequant_matvec_4bit_v3;
  metal::ComputePipelineStatePtr matvec_bf16;
  metal::ComputePipelineStatePtr matvec_int8;
  metal::ComputePipelineStatePtr dequant_matvec_fp4_e2m1;
  metal::ComputePipelineStatePtr matvec_fp8_e4m3;
  metal::ComputePipelineStatePtr swiglu_fused;
  metal::ComputePipelineStatePtr swiglu_fused_vec4;
  metal::ComputePipelineStatePtr rms_norm_sum_sq;
  metal::ComputePipelineStatePtr rms_norm_fused_bf16;
  metal::ComputePipelineStatePtr rms_norm_apply_bf16;
  metal::ComputePipelineStatePtr residual_add;
  metal::ComputePipelineStatePtr sigmoid_gate;
  metal::ComputePipelineStatePtr moe_combine_residual;
  metal::ComputePipelineStatePtr attn_sdpa_fused;
  metal::ComputePipelineStatePtr attn_sdpa_block;
  metal::ComputePipelineStatePtr attn_sdpa_reduce;
  metal::ComputePipelineStatePtr attn_scores_batched;
  metal::ComputePipelineStatePtr attn_softmax_batched;
  metal::ComputePipelineStatePtr attn_values_batched;
  metal::ComputePipelineStatePtr gated_delta_net_step;
  metal::ComputePipelineStatePtr conv1d_step;
  metal::ComputePipelineStatePtr rms_norm_qk;
  metal::ComputePipelineStatePtr compute_decay_beta;
  metal::ComputePipelineStatePtr gated_rms_norm;
  metal::ComputePipelineStatePtr q_head_norm_rope;
  metal::ComputePipelineStatePtr k_head_norm_rope;
  metal::ComputePipelineStatePtr kv_cache_append;

  // A pipeline by kernel name; nullptr for an absent pipeline or unknown name.
  const metal::ComputePipelineStatePtr* find(std::string_view name) const;
};

// How a pipeline's creation failure is treated.
enum class PipelineKind : uint8_t {
  Required,        // fails construction at once
  RequiredLate,    // dequant_matvec_4bit_fast: checked after all 29
  Optional,        // left empty
};

struct PipelineEntry {
  std::string_view name;
  PipelineKind kind;
  metal::ComputePipelineStatePtr Pipelines::*field;
};

// The 29 pipelines in creation order.
const std::vector<PipelineEntry>& pipeline_creation_order();

// The whole mapped weight file as one GPU buffer, made without copying.
// The mapping belongs to the model's WeightFile; the engine's model handle
// keeps it alive as long as this buffer.
class WeightBuffer {
 public:
  metal::BufferPtr buffer;
  const uint8_t* base_ptr = nullptr;

  // A tensor's byte offset inside `buffer`.
  uint64_t offset_of(const WeightFile& weights, const TensorInfo& info) const;
  // The tensor as an operand of `buffer`.
  Operand operand(const WeightFile& weights, const TensorInfo& info) const;

  // out[r] = sum_c W[r][c] * x[c] for the matrix `name` (its "{name}.weight"
  // with companions), as one dispatch chosen by the stored dtype. False, with
  // a line on stderr, when the weight or a companion is missing or its dtype
  // is unsupported; an error only for a missing optional pipeline.
  Result<bool> encode_matvec_into(const WeightFile& weights, const MetalContext& ctx, metal::ComputeCommandEncoder& enc,
                                  std::string_view name, const Operand& x, const Operand& out, uint32_t out_dim,
                                  uint32_t in_dim) const;
};

// Staging buffers for the experts read from disk, and the expert-stage scratch.
struct ExpertBuffer {
  std::vector<metal::BufferPtr> expert_data;  // kExpertSlots x packed expert size
  std::vector<metal::BufferPtr> expert_out;   // kExpertSlots x 8192: down projection outputs
  // Per slot, so that experts whose records have landed run side by side.
  std::vector<metal::BufferPtr> gate_out;     // kExpertSlots x 512 floats
  std::vector<metal::BufferPtr> up_out;       // kExpertSlots x 512 floats
  std::vector<metal::BufferPtr> act;          // kExpertSlots x 512 floats: SwiGLU output
  metal::BufferPtr reserved_d;                // bound by no dispatch
  metal::BufferPtr shared_act;                // 512 floats
  metal::BufferPtr shared_out;                // 2048 floats
  metal::BufferPtr reserved_e;                // bound by no dispatch
  metal::BufferPtr params;                    // 10 floats: routing weights, shared gate score
  // Slot i's record has landed once slot_landed[i] reaches the value its read was issued with.
  std::vector<metal::SharedEventPtr> slot_landed;
  // Per layer: a buffer over the expert file's mapping, so that a record
  // already in the page cache is bound where it lies; null where the file is
  // not mapped.
  std::vector<metal::BufferPtr> layer_records;
};

// What MetalContext::create returns.
struct ContextParts;

class MetalContext {
 public:
  metal::DevicePtr device;
  metal::CommandQueuePtr queue;
  metal::LibraryPtr library;
  Pipelines pipelines;

  std::vector<metal::BufferPtr> conv_state_buffers;  // one per linear layer: 3 x 8192 floats
  std::vector<metal::BufferPtr> ssm_state_buffers;   // one per linear layer: 32 x 128 x 128 floats
  metal::BufferPtr buf_conv_out;                     // q at byte 0, k at 8192, v at 16384
  metal::BufferPtr buf_g_decay;                      // 32
  metal::BufferPtr buf_beta_gate;                    // 32
  metal::BufferPtr buf_delta_out;                    // 4096
  // 0: in_proj_qkv out (8192), 1: z (4096), 2: b (32), 3: a (32), 6: gated
  // norm out (4096); 4, 5 and 7 are bound by no dispatch.
  std::vector<metal::BufferPtr> linear_scratch;
  metal::BufferPtr buf_normed;             // 2048: normed input of a linear layer
  metal::BufferPtr buf_reserved_a;         // bound by no dispatch
  metal::BufferPtr buf_hidden;             // 2048: residual stream
  metal::BufferPtr buf_router_logits;      // routed experts
  metal::BufferPtr buf_shared_gate_score;  // 1
  metal::BufferPtr buf_mlp_in;             // 2048
  metal::BufferPtr buf_shared_gate;        // 512
  metal::BufferPtr buf_shared_up;          // 512
  metal::BufferPtr buf_attn_proj;          // 2048
  metal::BufferPtr buf_h_mid;              // 2048
  metal::BufferPtr buf_reserved_b;         // bound by no dispatch
  metal::BufferPtr buf_reserved_c;         // bound by no dispatch
  std::vector<metal::BufferPtr> k_cache_buffers;  // one per full layer: 4096 x 512 floats
  std::vector<metal::BufferPtr> v_cache_buffers;
  metal::BufferPtr buf_q;             // 16 x 256
  metal::BufferPtr buf_q_gate;        // 16 x 256
  metal::BufferPtr buf_attn_scores;   // bound by no dispatch of the two engines
  metal::BufferPtr buf_attn_out;      // 16 x 256
  metal::BufferPtr buf_attn_normed;   // 2048
  metal::BufferPtr buf_q_proj;        // 8192
  metal::BufferPtr buf_k;             // 512
  metal::BufferPtr buf_v;             // 512

  uint64_t pos = 0;         // next sequence position
  uint64_t kv_dim = 0;      // floats per key/value row once the buffers exist
  uint64_t num_layers = 0;  // 0 until the state buffers exist

  // Builds the whole engine context for a constant set: checks k (0 = the
  // set's default) before anything is printed or opened, then init, the
  // state and expert buffers, and the weight buffer; prints the diagnostic
  // lines. `shader_source` replaces the embedded library (tests).
  template <ModelConstants C>
  static Result<ContextParts> create(const WeightFile& weights, std::size_t k, std::string_view mode,
                                     std::string_view shader_source = embedded_shader_source());

  // Device, queue, library and pipelines; no buffers.
  static Result<MetalContext> init(std::string_view shader_source = embedded_shader_source());

  // Allocates (or replaces) every state and scratch buffer; `pos` is kept.
  Status init_linear_attn_buffers(std::size_t linear_layers, std::size_t experts, std::size_t full_layers);

  // Copies a host cache into the state buffers. Everything is checked
  // before anything changes; an upload at any position, 0 included, copies
  // the linear-attention states.
  Status upload_cache(const Cache& cache);
  // Copies the state buffers back into a host cache and sets its position
  // and every full layer's filled length; nothing changes on error.
  Status download_cache(Cache& cache) const;

 private:
  static Result<ContextParts> create_for(const ConstantSetValues& set, std::size_t linear_layers,
                                         std::size_t full_layers, const WeightFile& weights, std::size_t k,
                                         std::string_view mode, std::string_view shader_source);
};

struct ContextParts {
  MetalContext ctx;
  WeightBuffer weights;
  ExpertBuffer experts;
};

// Allocates the expert staging buffers and prints the "[expert-io]" line.
Result<ExpertBuffer> init_expert_buffers(const metal::DevicePtr& device);
// Fills experts.layer_records from the mapped expert files.
void wrap_expert_files(const metal::DevicePtr& device, std::span<const ExpertFile> files, ExpertBuffer& experts);

template <ModelConstants C>
Result<ContextParts> MetalContext::create(const WeightFile& weights, std::size_t k, std::string_view mode,
                                          std::string_view shader_source) {
  return create_for(constant_set_values<C>(), C::kLinearLayers, C::kFullLayers, weights, k, mode, shader_source);
}

}  // namespace qwen35
}  // namespace varkel
