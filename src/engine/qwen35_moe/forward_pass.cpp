// One token at a time through every layer. Each layer costs two submissions:
// the pre-expert stage, whose router logits pick the experts, then the expert
// stage. A selected record that lies whole in the page cache is used there;
// the others are read, and the stage takes up each of them as soon as its
// record has landed while the other reads go on. A layer that reads also
// guesses the next layer's experts meanwhile (expert_prediction.h).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "engine/decode_profile.h"
#include "engine/qwen35_moe/cpu_norm.h"
#include "engine/qwen35_moe/expert_io.h"
#include "engine/qwen35_moe/forward_core.h"
#include "engine/qwen35_moe/lm_head.h"
#include "engine/qwen35_moe/metal_kernels.h"
#include "engine/qwen35_moe/pre_expert.h"
#include "engine/qwen35_moe/router.h"
#include "engine/qwen35_moe/try.h"
#include "engine/telemetry.h"
#include "metal/kernels/worker_pool.h"
#include "model/expert/expert_file.h"
#include "model/model.h"

namespace varkel::qwen35 {
namespace {

constexpr uint32_t kThreads = 256;
constexpr auto kHidden = static_cast<uint32_t>(kHiddenSize);
constexpr auto kInter = static_cast<uint32_t>(kMoeIntermediateSize);
constexpr uint32_t kGroup = 64;
constexpr int32_t kMatvecV3 = 3;

// Byte offsets of the three projections inside one packed expert record.
struct ProjectionOffsets {
  uint64_t weight, scales, biases;
};
constexpr ProjectionOffsets kGateProj{0, 524288, 557056};
constexpr ProjectionOffsets kUpProj{589824, 1114112, 1146880};
constexpr ProjectionOffsets kDownProj{1179648, 1703936, 1736704};

// The params slots the combine kernel reads.
constexpr std::size_t kParamsFloats = 10;
constexpr std::size_t kSharedScoreParam = 8;

float* floats(const metal::BufferPtr& buffer) { return static_cast<float*>(buffer->contents()); }

void profile_add(DecodeStage stage, const Stopwatch& since) {
  if (decode_profiling()) decode_profile()[stage] += since.elapsed_ms();
}

Status completed(const metal::CommandBuffer& cmd) {
  if (cmd.status() == metal::CommandBufferStatus::Error) return fail(MoEError::metal(cmd.error()));
  return {};
}

// `record` is the slot's record: its staging buffer or, for a record used
// where it lies in the page cache, the layer file's buffer at its offset.
Status encode_routed_expert(const MetalContext& ctx, const ExpertBuffer& ex, metal::ComputeCommandEncoder& enc,
                            std::size_t slot, const Operand& record) {
  auto project = [&](const ProjectionOffsets& at, const Operand& x, const Operand& out, uint32_t out_dim,
                     uint32_t in_dim) {
    const metal::BufferPtr& d = record.buffer;
    return encode_matvec_offset(ctx, enc, Operand(d, record.offset + at.weight), Operand(d, record.offset + at.scales),
                                Operand(d, record.offset + at.biases), x, out, out_dim, in_dim, kGroup, kMatvecV3);
  };
  VARKEL_TRY(project(kGateProj, ctx.buf_mlp_in, ex.gate_out[slot], kInter, kHidden));
  VARKEL_TRY(project(kUpProj, ctx.buf_mlp_in, ex.up_out[slot], kInter, kHidden));
  VARKEL_TRY(encode_swiglu(ctx, enc, ex.gate_out[slot], ex.up_out[slot], ex.act[slot], kInter));
  return project(kDownProj, ex.act[slot], ex.expert_out[slot], kHidden, kInter);
}

// The combine writes h_mid + routed experts + gated shared expert into `out`.
Status encode_combine(const MetalContext& ctx, const ExpertBuffer& ex, metal::ComputeCommandEncoder& enc,
                      std::size_t k, const metal::BufferPtr& out) {
  // All eight expert inputs are bound; slots from k on get a placeholder the
  // kernel never reads.
  auto slot = [&](std::size_t i) { return i < k ? ex.expert_out[i] : ctx.buf_hidden; };
  return encode_dispatch(enc, ctx.pipelines.moe_combine_residual, "moe_combine_residual",
                         {ctx.buf_h_mid, ex.shared_out, out, slot(0), slot(1), slot(2), slot(3), slot(4), slot(5),
                          slot(6), slot(7), ex.params},
                         {Constant::u32(kHidden), Constant::u32(static_cast<uint32_t>(k))},
                         metal::Size{ceil_div(kHidden, kThreads), 1, 1}, kThreads);
}

// Where each slot's record comes from in one layer.
struct RecordSources {
  std::vector<Operand> records;  // per slot: the staging buffer, or the record where it lies in the page cache
  std::vector<bool> read;        // per slot: read into its staging buffer, so the stage waits for it
};

// A record wholly in the page cache is used there; the others are read into
// their slots.
RecordSources choose_record_sources(const EngineState& st, const ExpertFile& file, std::size_t layer,
                                    const Routing& routing) {
  const ExpertBuffer& ex = st.experts;
  const std::size_t k = routing.experts.size();
  std::vector<std::span<const uint8_t>> cached(k);
  const bool mapped = layer < ex.layer_records.size() && ex.layer_records[layer] != nullptr;
  if (mapped) {
    // A page-table walk or a page-cache query per record: all k at once on
    // the pool. The file's length is asked once; asked per record from
    // several threads, it costs more than the walks.
    struct Ask {
      const ExpertFile& file;
      const Routing& routing;
      uint64_t file_length;
      std::vector<std::span<const uint8_t>>& cached;
    } ask{file, routing, file.current_length(), cached};
    metal::run_chunks(static_cast<uint32_t>(k), [](void* context, uint32_t i) {
      auto& a = *static_cast<Ask*>(context);
      a.cached[i] = a.file.cached_record(a.routing.experts[i], a.file_length);
    }, &ask);
  }
  RecordSources sources;
  for (std::size_t i = 0; i < k; ++i) {
    if (cached[i].empty()) {
      sources.records.emplace_back(ex.expert_data[i]);
      sources.read.push_back(true);
    } else {
      sources.records.emplace_back(ex.layer_records[layer],
                                   static_cast<uint64_t>(cached[i].data() - file.mapped().data()));
      sources.read.push_back(false);
    }
  }
  return sources;
}

// Records layer `layer`'s expert stage into a new command buffer: the shared
// expert, which needs no read, then each routed expert, at once where its
// record is used in place, else once its slot's record has landed (the reads
// are still going on), the combine into buf_hidden
// and, unless it is the last layer, the next layer's input norm into
// buf_normed. Only CPU writes happen now (params and, without a shared down
// projection, a zeroed shared_out).
Result<metal::CommandBufferPtr> encode_expert_stage(const EngineState& st, uint32_t layer, const Routing& routing,
                                                    const RecordSources& sources, float shared_score,
                                                    const TensorInfo* next_norm, bool last_layer) {
  const MetalContext& ctx = st.ctx;
  const ExpertBuffer& ex = st.experts;
  const WeightFile& weights = st.model->weights();
  const std::size_t k = routing.experts.size();
  metal::CommandBufferPtr cmd = ctx.queue->command_buffer();

  metal::ComputeCommandEncoderPtr enc = cmd->compute_command_encoder();
  VARKEL_TRY(encode_swiglu(ctx, *enc, ctx.buf_shared_gate, ctx.buf_shared_up, ex.shared_act, kInter));
  const std::string down = layer_tensor(layer, ".mlp.shared_expert.down_proj");
  auto encoded = st.weights.encode_matvec_into(weights, ctx, *enc, down, ex.shared_act, ex.shared_out, kHidden, kInter);
  if (!encoded) return fail(std::move(encoded.error()));
  if (!*encoded) {
    std::fprintf(stderr, "[fused] WARNING: shared expert down_proj tensor not found: %s\n", down.c_str());
    // A stale shared_out from another layer would leak into this one.
    std::memset(ex.shared_out->contents(), 0, ex.shared_out->length());
  }
  enc->end_encoding();

  for (std::size_t i = 0; i < k; ++i) {
    if (sources.read[i]) cmd->encode_wait_for_event(ex.slot_landed[i], st.expert_reads);
    enc = cmd->compute_command_encoder();
    VARKEL_TRY(encode_routed_expert(ctx, ex, *enc, i, sources.records[i]));
    enc->end_encoding();
  }

  enc = cmd->compute_command_encoder();
  float* params = floats(ex.params);
  std::memset(params, 0, kParamsFloats * sizeof(float));
  for (std::size_t i = 0; i < k; ++i) params[i] = routing.weights[i];
  params[kSharedScoreParam] = shared_score;
  VARKEL_TRY(encode_combine(ctx, ex, *enc, k, ctx.buf_hidden));

  if (next_norm != nullptr) {
    VARKEL_TRY(encode_dispatch(*enc, ctx.pipelines.rms_norm_fused_bf16, "rms_norm_fused_bf16",
                               {ctx.buf_hidden, st.weights.operand(weights, *next_norm), ctx.buf_normed},
                               {Constant::u32(kHidden), Constant::f32(kRmsNormEps)}, metal::Size{1, 1, 1}, kThreads));
  } else if (!last_layer) {
    // No norm weight: the next layer reads the un-normed residual stream, as
    // layer 0 does. The same combine again writes it into buf_normed.
    VARKEL_TRY(encode_combine(ctx, ex, *enc, k, ctx.buf_normed));
  }
  enc->end_encoding();
  return cmd;
}

// Reads the routed experts of layer `l` and runs its expert stage, which
// starts on each expert as soon as its record has landed. A failed read is
// reported before anything else of the stage; the reads have always ended
// when this returns.
Status run_expert_stage(EngineState& st, std::size_t l, const Routing& routing, float shared_score,
                        const TensorInfo* next_norm, bool last_layer, uint32_t num_experts) {
  const ExpertFile& file = st.model->experts()[l];
  const BusySample busy(DecodeStage::Experts);
  const Stopwatch clock;
  const auto fetch_start = std::chrono::steady_clock::now();
  const RecordSources sources = choose_record_sources(st, file, l, routing);

  std::vector<uint32_t> read_experts;
  std::vector<std::span<uint8_t>> read_slots;
  std::vector<metal::SharedEventPtr> read_events;
  for (std::size_t i = 0; i < routing.experts.size(); ++i) {
    if (!sources.read[i]) continue;
    const metal::BufferPtr& slot = st.experts.expert_data[i];
    read_experts.push_back(routing.experts[i]);
    read_slots.emplace_back(static_cast<uint8_t*>(slot->contents()), slot->length());
    read_events.push_back(st.experts.slot_landed[i]);
  }
  ++st.expert_reads;
  // Records come from storage: the disk would idle through the compute up to
  // the next layer's reads, so the next layer's experts are guessed now and
  // their loads queued behind this layer's reads.
  ExpertPrediction& prediction = *st.prediction;
  const bool guess = prediction.enabled() && !read_experts.empty() && !last_layer;
  if (guess) prediction.hold();
  ExpertReads reads(file, read_experts, read_slots, read_events, st.expert_reads, fetch_start,
                    guess ? std::function<void()>([&prediction] { prediction.release(); }) : std::function<void()>());
  if (guess) prediction.predict(st, static_cast<uint32_t>(l + 1), num_experts, st.ctx.buf_h_mid);
  auto cmd = encode_expert_stage(st, static_cast<uint32_t>(l), routing, sources, shared_score, next_norm, last_layer);
  if (cmd) {
    (*cmd)->commit();
    (*cmd)->wait_until_completed();
  }
  const Status read = reads.finish(st.telemetry);
  profile_add(DecodeStage::Experts, clock);
  VARKEL_TRY(read);
  if (!cmd) return fail(std::move(cmd.error()));
  VARKEL_TRY(completed(**cmd));
  if (decode_profiling()) {
    decode_profile().reads_landed_ms += reads.landed_ms();
    decode_profile().stage_waiting_ms += (*cmd)->event_wait_ms();
    decode_profile().records_read += read_experts.size();
    decode_profile().records_in_place += routing.experts.size() - read_experts.size();
  }
  return {};
}

// One token through every layer, from the embedding in `x` to the final
// hidden state in buf_hidden.
Status run_layers(EngineState& st, std::span<const float> x, const InterruptFn& interrupt, const PassShape& shape) {
  MetalContext& ctx = st.ctx;
  const Model& model = *st.model;
  const WeightFile& weights = model.weights();
  const uint64_t p = ctx.pos;

  std::memcpy(ctx.buf_hidden->contents(), x.data(), kHiddenSize * sizeof(float));
  VARKEL_TRY(input_norm(weights, layer_tensor(0, ".input_layernorm.weight"), x,
                        std::span(floats(ctx.buf_normed), kHiddenSize)));

  std::vector<float> logits(shape.num_experts);
  ExpertPrediction& prediction = *st.prediction;
  prediction.forget();
  for (std::size_t l = 0; l < shape.num_layers; ++l) {
    const auto layer = static_cast<uint32_t>(l);
    if (interrupt && interrupt()) return fail(MoEError::metal("interrupted"));

    metal::CommandBufferPtr cmd = ctx.queue->command_buffer();
    metal::ComputeCommandEncoderPtr enc = cmd->compute_command_encoder();
    const bool full = is_full_attention_layer(l);
    // Positions stay at or below MAX_SEQ (uploads refuse more and a token at
    // MAX_SEQ never finishes), so the u32 cannot wrap.
    const auto pos = static_cast<uint32_t>(p);
    Status stage = full ? encode_pre_expert_full(shape.mode, weights, st.weights, ctx, *enc, layer,
                                                 static_cast<uint32_t>(full_attention_index(l)), pos,
                                                 shape.num_experts)
                        : encode_pre_expert_linear(weights, st.weights, ctx, *enc, layer,
                                                   static_cast<uint32_t>(linear_attention_index(l)),
                                                   shape.num_experts);
    enc->end_encoding();
    if (!stage) return stage;
    if (full && p >= kMaxSeq) {
      return fail(MoEError::config(fmt::format("sequence position {} exceeds MAX_SEQ ({})", p, kMaxSeq)));
    }
    {
      const BusySample busy(DecodeStage::PreExpert);
      cmd->commit();
      cmd->wait_until_completed();
    }
    VARKEL_TRY(completed(*cmd));
    if (decode_profiling()) decode_profile()[DecodeStage::PreExpert] += cmd->encoder_times_ms().front();
    std::memcpy(logits.data(), ctx.buf_router_logits->contents(), shape.num_experts * sizeof(float));
    const float shared_score = floats(ctx.buf_shared_gate_score)[0];
    cmd.reset();

    const Stopwatch routing_clock;
    const Routing routing = route(logits, static_cast<uint32_t>(st.k));
    profile_add(DecodeStage::Routing, routing_clock);
    prediction.score(routing.experts);
    if (l >= model.experts().size()) {
      return fail(MoEError::config(fmt::format("no expert file for layer {}", l)));
    }
    const TensorInfo* next_norm =
        l + 1 < shape.num_layers ? weights.find(layer_tensor(layer + 1, ".input_layernorm.weight")) : nullptr;
    VARKEL_TRY(
        run_expert_stage(st, l, routing, shared_score, next_norm, l + 1 == shape.num_layers, shape.num_experts));
  }
  return {};
}

}  // namespace

Result<std::vector<float>> run_forward(EngineState& st, std::span<const float> embeddings,
                                       const InterruptFn& interrupt, const PassShape& shape) {
  const Stopwatch clock;
  const std::size_t n = embeddings.size() / kHiddenSize;
  if (n == 0) return std::vector<float>{};
  std::vector<float> result(n * shape.vocab, 0.0f);
  std::vector<float> hidden(kHiddenSize);
  for (std::size_t t = 0; t < n; ++t) {
    VARKEL_TRY(run_layers(st, embeddings.subspan(t * kHiddenSize, kHiddenSize), interrupt, shape));
    std::memcpy(hidden.data(), st.ctx.buf_hidden->contents(), kHiddenSize * sizeof(float));
    st.ctx.pos += 1;
    const Stopwatch head_clock;
    {
      const BusySample busy(DecodeStage::LmHead);
      VARKEL_TRY(final_norm(st.model->weights(), hidden));
      VARKEL_TRY(gpu_lm_head(st.model->weights(), hidden, std::span(result).subspan(t * shape.vocab, shape.vocab),
                             st.weights, st.ctx));
    }
    profile_add(DecodeStage::LmHead, head_clock);
    if (decode_profiling()) ++decode_profile().tokens;
  }
  timing_add(st.telemetry, "engine.total_ms", clock.elapsed_ms());
  return result;
}

template Result<std::vector<float>> forward_hidden<FullModel, AttentionMode::FusedExp1>(EngineState&,
                                                                                         std::span<const float>,
                                                                                         const InterruptFn&);
template Result<std::vector<float>> forward_hidden<FullModel, AttentionMode::FusedExp2>(EngineState&,
                                                                                         std::span<const float>,
                                                                                         const InterruptFn&);
template Result<std::vector<float>> forward_hidden<StrippedModel, AttentionMode::FusedExp1>(EngineState&,
                                                                                             std::span<const float>,
                                                                                             const InterruptFn&);
template Result<std::vector<float>> forward_hidden<StrippedModel, AttentionMode::FusedExp2>(EngineState&,
                                                                                             std::span<const float>,
                                                                                             const InterruptFn&);

}  // namespace varkel::qwen35
