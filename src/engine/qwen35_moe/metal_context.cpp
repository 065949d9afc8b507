#include "engine/qwen35_moe/metal_context.h"

#include <fmt/format.h>

#include <chrono>
#include <cstdio>

#include "engine/qwen35_moe/bound_tensors.h"
#include "engine/qwen35_moe/try.h"
#include "error/debug_quote.h"
#include "model/expert/expert_file.h"
#include "model/weights/weight_file.h"

namespace varkel::qwen35 {

namespace {

constexpr std::size_t kKvCacheBytes = qwen35::kMaxSeq * qwen35::kKvDim * sizeof(float);  // 8,388,608
constexpr std::size_t kConvStateBytes = qwen35::kConvStateFloats * sizeof(float);        // 98,304
constexpr std::size_t kSsmStateBytes = qwen35::kSsmStateFloats * sizeof(float);          // 2,097,152

double elapsed_ms(std::chrono::steady_clock::time_point start) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start);
  const double seconds = static_cast<double>(ns.count() / 1000000000);
  const double nanos = static_cast<double>(ns.count() % 1000000000);
  return (seconds + nanos / 1e9) * 1000.0;
}

// Allocation through the device, with one wording for every refusal.
class Allocator {
 public:
  explicit Allocator(const metal::DevicePtr& device) : device_(device) {}

  Status operator()(metal::BufferPtr& slot, std::size_t length) {
    auto buffer = device_->new_buffer(length, metal::kResourceStorageModeShared);
    if (!buffer) return fail(MoEError::metal(fmt::format("failed to allocate a {}-byte buffer: {}", length, buffer.error())));
    slot = std::move(*buffer);
    return {};
  }
  Status append(std::vector<metal::BufferPtr>& list, std::size_t length) {
    metal::BufferPtr buffer;
    if (auto status = (*this)(buffer, length); !status) return status;
    list.push_back(std::move(buffer));
    return {};
  }

 private:
  const metal::DevicePtr& device_;
};

}  // namespace

const std::vector<PipelineEntry>& pipeline_creation_order() {
  using K = PipelineKind;
  static const std::vector<PipelineEntry> order = {
      {"dequant_matvec_4bit", K::Required, &Pipelines::dequant_matvec_4bit},
      {"dequant_matvec_4bit_v3", K::Required, &Pipelines::dequant_matvec_4bit_v3},
      {"matvec_bf16", K::Required, &Pipelines::matvec_bf16},
      {"matvec_int8", K::Required, &Pipelines::matvec_int8},
      {"dequant_matvec_fp4_e2m1", K::Optional, &Pipelines::dequant_matvec_fp4_e2m1},
      {"matvec_fp8_e4m3", K::Optional, &Pipelines::matvec_fp8_e4m3},
      {"swiglu_fused", K::Required, &Pipelines::swiglu_fused},
      {"rms_norm_sum_sq", K::Required, &Pipelines::rms_norm_sum_sq},
      {"dequant_matvec_4bit_fast", K::RequiredLate, &Pipelines::dequant_matvec_4bit_fast},
      {"swiglu_fused_vec4", K::Optional, &Pipelines::swiglu_fused_vec4},
      {"rms_norm_fused_bf16", K::Optional, &Pipelines::rms_norm_fused_bf16},
      {"rms_norm_apply_bf16", K::Optional, &Pipelines::rms_norm_apply_bf16},
      {"residual_add", K::Optional, &Pipelines::residual_add},
      {"sigmoid_gate", K::Optional, &Pipelines::sigmoid_gate},
      {"moe_combine_residual", K::Optional, &Pipelines::moe_combine_residual},
      {"attn_sdpa_fused", K::Optional, &Pipelines::attn_sdpa_fused},
      {"attn_sdpa_block", K::Optional, &Pipelines::attn_sdpa_block},
      {"attn_sdpa_reduce", K::Optional, &Pipelines::attn_sdpa_reduce},
      {"attn_scores_batched", K::Optional, &Pipelines::attn_scores_batched},
      {"attn_softmax_batched", K::Optional, &Pipelines::attn_softmax_batched},
      {"attn_values_batched", K::Optional, &Pipelines::attn_values_batched},
      {"gated_delta_net_step", K::Optional, &Pipelines::gated_delta_net_step},
      {"conv1d_step", K::Optional, &Pipelines::conv1d_step},
      {"rms_norm_qk", K::Optional, &Pipelines::rms_norm_qk},
      {"compute_decay_beta", K::Optional, &Pipelines::compute_decay_beta},
      {"gated_rms_norm", K::Optional, &Pipelines::gated_rms_norm},
      {"q_head_norm_rope", K::Optional, &Pipelines::q_head_norm_rope},
      {"k_head_norm_rope", K::Optional, &Pipelines::k_head_norm_rope},
      {"kv_cache_append", K::Optional, &Pipelines::kv_cache_append},
  };
  return order;
}

const metal::ComputePipelineStatePtr* Pipelines::find(std::string_view name) const {
  for (const auto& entry : pipeline_creation_order()) {
    if (entry.name == name) return (this->*entry.field) ? &(this->*entry.field) : nullptr;
  }
  return nullptr;
}

Result<MetalContext> MetalContext::init(std::string_view shader_source) {
  metal::AutoreleasePool pool;
  MetalContext ctx;
  ctx.device = metal::Device::system_default();
  if (!ctx.device) return fail(MoEError::metal("No Metal device found"));
  fmt::print(stderr, "[metal] Device: {}\n", ctx.device->name());
  fmt::print(stderr, "[metal] Unified memory: {}\n", ctx.device->has_unified_memory() ? "YES" : "NO");
  fmt::print(stderr, "[metal] Max buffer size: {:.0f} MB\n",
             static_cast<double>(ctx.device->max_buffer_length()) / 1048576.0);
  ctx.queue = ctx.device->new_command_queue();

  metal::CompileOptions options;
  options.fast_math = true;
  options.language_version = "3.1";
  fmt::print(stderr, "[metal] Compiling shaders from source...\n");
  const auto start = std::chrono::steady_clock::now();
  auto library = ctx.device->new_library_with_source(shader_source, options);
  const double compile_ms = elapsed_ms(start);
  if (!library) return fail(MoEError::shader(fmt::format("Shader compilation failed: {}", debug_quoted(library.error()))));
  ctx.library = std::move(*library);
  fmt::print(stderr, "[metal] Shader compilation: {:.0f} ms\n", compile_ms);

  for (const auto& entry : pipeline_creation_order()) {
    std::optional<std::string> failure;
    {
      auto function = ctx.library->new_function(entry.name);
      if (!function) {
        failure = fmt::format("Shader function '{}' not found: {}", entry.name, function.error());
      } else {
        auto pipeline = ctx.device->new_compute_pipeline_state(*function);
        if (pipeline) {
          ctx.pipelines.*entry.field = std::move(*pipeline);
        } else {
          failure = fmt::format("Pipeline '{}' creation failed: {}", entry.name, debug_quoted(pipeline.error()));
        }
      }
    }  // the function object goes here either way
    if (failure && entry.kind == PipelineKind::Required) return fail(MoEError::shader(std::move(*failure)));
  }
  if (!ctx.pipelines.dequant_matvec_4bit_fast) return fail(MoEError::shader("dequant_matvec_4bit_fast not found"));
  fmt::print(stderr, "[metal] All pipelines created successfully\n");
  return ctx;
}

Status MetalContext::init_linear_attn_buffers(std::size_t linear_layers, std::size_t experts, std::size_t full_layers) {
  // Built aside and swapped in whole, so a refused allocation leaves the
  // context as it was.
  MetalContext next;
  Allocator alloc(device);
  for (std::size_t i = 0; i < linear_layers; ++i) {
    VARKEL_TRY(alloc.append(next.conv_state_buffers, kConvStateBytes));
    VARKEL_TRY(alloc.append(next.ssm_state_buffers, kSsmStateBytes));
  }
  VARKEL_TRY(alloc(next.buf_conv_out, 32768));
  VARKEL_TRY(alloc(next.buf_g_decay, 128));
  VARKEL_TRY(alloc(next.buf_beta_gate, 128));
  VARKEL_TRY(alloc(next.buf_delta_out, 16384));
  for (std::size_t bytes : {32768, 16384, 128, 128, 4, 4, 16384, 4}) VARKEL_TRY(alloc.append(next.linear_scratch, bytes));
  VARKEL_TRY(alloc(next.buf_reserved_a, 4));
  VARKEL_TRY(alloc(next.buf_normed, 8192));
  VARKEL_TRY(alloc(next.buf_hidden, 8192));
  VARKEL_TRY(alloc(next.buf_router_logits, experts * sizeof(float)));
  VARKEL_TRY(alloc(next.buf_shared_gate_score, 4));
  VARKEL_TRY(alloc(next.buf_mlp_in, 8192));
  VARKEL_TRY(alloc(next.buf_shared_gate, 2048));
  VARKEL_TRY(alloc(next.buf_shared_up, 2048));
  VARKEL_TRY(alloc(next.buf_attn_proj, 8192));
  VARKEL_TRY(alloc(next.buf_h_mid, 8192));
  VARKEL_TRY(alloc(next.buf_reserved_b, 4));
  VARKEL_TRY(alloc(next.buf_reserved_c, 8192));
  fmt::print(stderr, "[metal] Allocating {} full-attn KV buffers ({} MB each)\n", full_layers,
             kKvCacheBytes / 1048576);
  for (std::size_t i = 0; i < full_layers; ++i) {
    VARKEL_TRY(alloc.append(next.k_cache_buffers, kKvCacheBytes));
    VARKEL_TRY(alloc.append(next.v_cache_buffers, kKvCacheBytes));
  }
  VARKEL_TRY(alloc(next.buf_q, 16384));
  VARKEL_TRY(alloc(next.buf_q_gate, 16384));
  VARKEL_TRY(alloc(next.buf_attn_scores, 262144));
  VARKEL_TRY(alloc(next.buf_attn_out, 16384));
  VARKEL_TRY(alloc(next.buf_attn_normed, 8192));
  VARKEL_TRY(alloc(next.buf_q_proj, 32768));
  VARKEL_TRY(alloc(next.buf_k, 2048));
  VARKEL_TRY(alloc(next.buf_v, 2048));

  next.device = std::move(device);
  next.queue = std::move(queue);
  next.library = std::move(library);
  next.pipelines = std::move(pipelines);
  next.pos = pos;
  next.kv_dim = qwen35::kKvDim;
  next.num_layers = linear_layers + full_layers;
  *this = std::move(next);
  return {};
}

Result<ExpertBuffer> init_expert_buffers(const metal::DevicePtr& device) {
  ExpertBuffer experts;
  Allocator alloc(device);
  experts.expert_data.reserve(qwen35::kExpertSlots);
  experts.expert_out.reserve(qwen35::kExpertSlots);
  for (std::size_t i = 0; i < qwen35::kExpertSlots; ++i) {
    VARKEL_TRY(alloc.append(experts.expert_data, qwen35::kPackedExpertSize));
    VARKEL_TRY(alloc.append(experts.expert_out, qwen35::kHiddenSize * sizeof(float)));
  }
  for (std::size_t i = 0; i < qwen35::kExpertSlots; ++i) {
    VARKEL_TRY(alloc.append(experts.gate_out, 2048));
    VARKEL_TRY(alloc.append(experts.up_out, 2048));
    VARKEL_TRY(alloc.append(experts.act, 2048));
  }
  VARKEL_TRY(alloc(experts.reserved_d, 8192));
  VARKEL_TRY(alloc(experts.shared_act, 2048));
  VARKEL_TRY(alloc(experts.shared_out, 8192));
  VARKEL_TRY(alloc(experts.reserved_e, 8192));
  VARKEL_TRY(alloc(experts.params, 40));
  for (std::size_t i = 0; i < qwen35::kExpertSlots; ++i) experts.slot_landed.push_back(device->new_shared_event());
  fmt::print(stderr,
             "[expert-io] Pre-allocated {}x data bufs ({} MB each), {}x scratch (OS page cache for expert data)\n",
             qwen35::kExpertSlots, qwen35::kPackedExpertSize / 1048576, qwen35::kExpertSlots);
  return experts;
}

void wrap_expert_files(const metal::DevicePtr& device, std::span<const ExpertFile> files, ExpertBuffer& experts) {
  experts.layer_records.clear();
  for (const ExpertFile& file : files) {
    const std::span<const uint8_t> mapped = file.mapped();
    metal::BufferPtr buffer;
    if (!mapped.empty()) {
      // Refused: that layer's records are read into the slots, as without a mapping.
      auto wrapped = device->new_buffer_no_copy(static_cast<const void*>(mapped.data()), mapped.size(),
                                                metal::kResourceStorageModeShared);
      if (wrapped) buffer = std::move(*wrapped);
    }
    experts.layer_records.push_back(std::move(buffer));
  }
}

Result<ContextParts> MetalContext::create_for(const ConstantSetValues& set, std::size_t linear_layers,
                                              std::size_t full_layers, const WeightFile& weights, std::size_t k,
                                              std::string_view mode, std::string_view shader_source) {
  const std::size_t chosen_k = k != 0 ? k : set.experts_per_tok;
  if (chosen_k > set.experts_per_tok) {
    return fail(MoEError::config(fmt::format("k ({}) must not exceed model's num_experts_per_tok ({})", chosen_k,
                                             set.experts_per_tok)));
  }
  // A manifest that does not fit the kernels is refused before any device work.
  VARKEL_TRY(check_bound_tensors(weights, BoundModelShape{set.num_layers, set.num_experts, set.vocab}));
  auto ctx = init(shader_source);
  if (!ctx) return fail(std::move(ctx.error()));
  VARKEL_TRY(ctx->init_linear_attn_buffers(linear_layers, set.num_experts, full_layers));
  auto experts = init_expert_buffers(ctx->device);
  if (!experts) return fail(std::move(experts.error()));

  WeightBuffer weight_buffer;
  // An empty weight file still gets a buffer (one byte over a static zero):
  // every tensor lookup then fails before anything binds it.
  static const uint8_t kEmpty = 0;
  const uint8_t* base = weights.len() != 0 ? weights.data() : &kEmpty;
  auto buffer = ctx->device->new_buffer_no_copy(static_cast<const void*>(base), weights.len() != 0 ? weights.len() : 1,
                                                metal::kResourceStorageModeShared);
  if (!buffer) return fail(MoEError::metal(fmt::format("cannot wrap the weight file in a buffer: {}", buffer.error())));
  weight_buffer.buffer = std::move(*buffer);
  weight_buffer.base_ptr = weights.data();
  fmt::print(stderr, "[gpu-weight] Wrapped {:.2f} GB weight file in Metal buffer\n",
             static_cast<double>(weights.len()) / 1e9);
  fmt::print(stderr, "[engine] {} layers hidden={} experts={} mode={}\n", set.num_layers, qwen35::kHiddenSize,
             set.num_experts, mode);
  return ContextParts{std::move(*ctx), std::move(weight_buffer), std::move(*experts)};
}

}  // namespace varkel::qwen35
