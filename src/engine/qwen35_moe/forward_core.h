#pragma once
// The forward pass proper, sized at run time from the constant set that the
// engine templates fix. forward_hidden<C, M> is defined here so that a test
// may instantiate it over a constant set of its own.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/qwen35_moe/forward_pass.h"

namespace varkel::qwen35 {

struct PassShape {
  std::size_t num_layers;
  uint32_t num_experts;  // router width
  std::size_t vocab;     // logits per token
  AttentionMode mode;
};

Result<std::vector<float>> run_forward(EngineState& state, std::span<const float> embeddings,
                                       const InterruptFn& interrupt, const PassShape& shape);

template <ModelConstants C, AttentionMode M>
Result<std::vector<float>> forward_hidden(EngineState& state, std::span<const float> embeddings,
                                          const InterruptFn& interrupt) {
  return run_forward(state, embeddings, interrupt,
                     PassShape{C::kNumLayers, static_cast<uint32_t>(C::kNumExperts), constant_set_values<C>().vocab, M});
}

}  // namespace varkel::qwen35
