// PLACEHOLDER until the forward pass lands: the author of the forward pass
// replaces this whole file (keep the four explicit instantiations of
// forward_hidden declared in forward_pass.h).
#include "engine/qwen35_moe/forward_pass.h"

namespace varkel::qwen35 {

template <ModelConstants C, AttentionMode M>
Result<std::vector<float>> forward_hidden(EngineState&, std::span<const float>, const InterruptFn&) {
  return fail(MoEError::metal("forward pass not implemented"));
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
