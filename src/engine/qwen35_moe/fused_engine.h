#pragma once
// The fused engines: FusedExp1 and FusedExp2, each over the FullModel and
// StrippedModel constant sets. They share everything but the attention core
// of the full-attention stage and the sizes the constant set fixes.

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "engine/qwen35_constants.h"
#include "engine/qwen35_moe/embedded_shader.h"
#include "engine/qwen35_moe/embedding.h"
#include "engine/qwen35_moe/forward_pass.h"
#include "engine/qwen35_moe/metal_context.h"
#include "model/model.h"

namespace varkel::qwen35 {

template <ModelConstants C, AttentionMode M>
class FusedEngine final : public Engine {
 public:
  using Constants = C;
  static constexpr AttentionMode kMode = M;

  // Validates the configuration, then builds the context (k = 0: the set's
  // default). The model handle is released on failure.
  static Result<std::unique_ptr<FusedEngine>> create(std::shared_ptr<const Model> model, std::size_t k,
                                                     std::string_view shader_source = embedded_shader_source()) {
    if (auto disagreement = validate_config<C>(model->config())) return fail(MoEError::config(*disagreement));
    auto parts = MetalContext::create<C>(model->weights(), k, mode_name(M), shader_source);
    if (!parts) return fail(std::move(parts.error()));
    wrap_expert_files(parts->ctx.device, model->experts(), parts->experts);
    const std::size_t chosen_k = k != 0 ? k : C::kExpertsPerTok;
    return std::unique_ptr<FusedEngine>(new FusedEngine(EngineState{std::move(model), std::move(parts->ctx),
                                                                    std::move(parts->weights),
                                                                    std::move(parts->experts), TelemetryMap{},
                                                                    chosen_k}));
  }

  Status upload_cache(const Cache& cache) override { return state_.ctx.upload_cache(cache); }
  Status download_cache(Cache& cache) override { return state_.ctx.download_cache(cache); }
  Status embed_lookup(std::span<const int64_t> ids, std::span<float> out) const override {
    return qwen35::embed_lookup(state_.model->weights(), ids, out);
  }
  Result<std::vector<float>> forward_hidden(std::span<const float> embeddings, const InterruptFn& interrupt) override {
    return qwen35::forward_hidden<C, M>(state_, embeddings, interrupt);
  }
  TelemetryMap telemetry() const override { return state_.telemetry; }

  EngineState& state() { return state_; }
  const EngineState& state() const { return state_; }

 private:
  explicit FusedEngine(EngineState state) : state_(std::move(state)) {}
  EngineState state_;
};

using FusedExp1Full = FusedEngine<FullModel, AttentionMode::FusedExp1>;
using FusedExp1Stripped = FusedEngine<StrippedModel, AttentionMode::FusedExp1>;
using FusedExp2Full = FusedEngine<FullModel, AttentionMode::FusedExp2>;
using FusedExp2Stripped = FusedEngine<StrippedModel, AttentionMode::FusedExp2>;

}  // namespace varkel::qwen35
