#pragma once
// Packs each MoE layer's stacked expert tensors into one file of fixed-size
// 4-bit affine expert records, in the layout the engine reads one expert at a time.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "hf_util/hf_repo.h"
#include "quantize/quant_result.h"
#include "quantize/quant_scheme.h"

namespace varkel {

// Byte offsets of the nine parts of one expert record (hidden size H,
// expert intermediate size I): gate and up are I x H, down is H x I, each as
// packed words, then bf16 scales, then bf16 biases.
struct ExpertRecordLayout {
  uint64_t gate_weight = 0, gate_scales = 0, gate_biases = 0;
  uint64_t up_weight = 0, up_scales = 0, up_biases = 0;
  uint64_t down_weight = 0, down_scales = 0, down_biases = 0;
  uint64_t size = 0;  // the record stride

  // nullopt when a size does not fit 64 bits.
  static std::optional<ExpertRecordLayout> make(uint64_t hidden, uint64_t intermediate);
};

// intermediate = I, hidden = H, num_experts = N. Writes "layer_{:02}.bin" for
// every layer that has both a gate-up and a down source and returns how many.
// Only main-layer weights are gathered: MTP layers never run, and scales or
// biases of experts mean the checkpoint is already quantized, which is refused.
// So are expert widths H and I that are not positive multiples of 64 (when N > 0).
QuantResult<std::size_t> process_experts_common(uint64_t intermediate, uint64_t hidden, uint64_t num_experts,
                                                const HfRepo& source, const WeightMap& weight_map,
                                                std::span<const ClassifiedTensor> classified,
                                                const std::filesystem::path& out);

}  // namespace varkel
