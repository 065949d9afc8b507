#include "engine/engine.h"

#include <fmt/format.h>

#include "engine/qwen35_moe/embedded_shader.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "error/debug_quote.h"
#include "model/model.h"

namespace varkel {

namespace {

constexpr std::string_view kModeExp1 = "Qwen35MoEFusedExp1";
constexpr std::string_view kModeExp2 = "Qwen35MoEFusedExp2";

template <class E>
Result<DynEngine> build(std::shared_ptr<const Model> model, std::size_t k, std::string_view shader_source) {
  auto engine = E::create(std::move(model), k, shader_source);
  if (!engine) return fail(std::move(engine.error()));
  return DynEngine(std::move(*engine));
}

}  // namespace

std::string first_architecture(const ModelConfig& config) {
  const auto* value = config.resolve("architectures");
  if (value == nullptr || !value->is_array() || value->empty() || !(*value)[0].is_string()) return {};
  return (*value)[0].get<std::string>();
}

Result<DynEngine> DynEngine::create(std::string_view pipeline_mode, std::shared_ptr<const Model> model,
                                    std::size_t k) {
  return create(pipeline_mode, std::move(model), k, embedded_shader_source());
}

Result<DynEngine> DynEngine::create(std::string_view pipeline_mode, std::shared_ptr<const Model> model, std::size_t k,
                                    std::string_view shader_source) {
  using namespace qwen35;
  const std::string arch = first_architecture(model->config());
  const bool full = arch == FullModel::kArchitecture;
  const bool stripped = arch == StrippedModel::kArchitecture;
  if (pipeline_mode == kModeExp1 && full) return build<FusedExp1Full>(std::move(model), k, shader_source);
  if (pipeline_mode == kModeExp1 && stripped) return build<FusedExp1Stripped>(std::move(model), k, shader_source);
  if (pipeline_mode == kModeExp2 && full) return build<FusedExp2Full>(std::move(model), k, shader_source);
  if (pipeline_mode == kModeExp2 && stripped) return build<FusedExp2Stripped>(std::move(model), k, shader_source);
  return fail(MoEError::config(
      fmt::format("Unknown engine: engine_type={}, arch={}", debug_quoted(pipeline_mode), debug_quoted(arch))));
}

}  // namespace varkel
