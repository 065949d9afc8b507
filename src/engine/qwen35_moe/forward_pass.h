#pragma once
// The hooks the fused engines call for a forward pass, and the state an
// engine owns. forward_pass.cpp defines forward_hidden for the four engines.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "engine/qwen35_constants.h"
#include "engine/qwen35_moe/expert_prediction.h"
#include "engine/qwen35_moe/metal_context.h"
#include "error/moe_error.h"

namespace varkel {
class Model;
}

namespace varkel::qwen35 {

// How the full-attention stage computes attention: one dispatch (FusedExp1)
// or blocks of 32 positions merged in a second dispatch (FusedExp2).
enum class AttentionMode : uint8_t { FusedExp1, FusedExp2 };

// The mode name the context prints: "FusedExp1" or "FusedExp2".
constexpr std::string_view mode_name(AttentionMode mode) {
  return mode == AttentionMode::FusedExp1 ? "FusedExp1" : "FusedExp2";
}

// Everything one engine owns; only the model is shared.
struct EngineState {
  std::shared_ptr<const Model> model;
  MetalContext ctx;
  WeightBuffer weights;
  ExpertBuffer experts;
  TelemetryMap telemetry;  // cumulative, never cleared
  std::size_t k = 0;       // routed experts per token, 1 .. C::kExpertsPerTok
  uint64_t expert_reads = 0;  // layers whose experts were read: the slot events' last value
  // Before the model's files close: its hint thread may be reading one.
  std::shared_ptr<ExpertPrediction> prediction = std::make_shared<ExpertPrediction>();
};

// Embeddings (2048 floats per token; a trailing partial row is ignored) to
// logits, one row of vocabulary size per token, advancing ctx.pos.
template <ModelConstants C, AttentionMode M>
Result<std::vector<float>> forward_hidden(EngineState& state, std::span<const float> embeddings,
                                          const InterruptFn& interrupt);

extern template Result<std::vector<float>> forward_hidden<FullModel, AttentionMode::FusedExp1>(
    EngineState&, std::span<const float>, const InterruptFn&);
extern template Result<std::vector<float>> forward_hidden<FullModel, AttentionMode::FusedExp2>(
    EngineState&, std::span<const float>, const InterruptFn&);
extern template Result<std::vector<float>> forward_hidden<StrippedModel, AttentionMode::FusedExp1>(
    EngineState&, std::span<const float>, const InterruptFn&);
extern template Result<std::vector<float>> forward_hidden<StrippedModel, AttentionMode::FusedExp2>(
    EngineState&, std::span<const float>, const InterruptFn&);

}  // namespace varkel::qwen35
