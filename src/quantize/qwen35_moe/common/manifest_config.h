#pragma once
// The weight manifest's "config" object: the model's dimensions and the
// attention kind of every main layer.

#include <cstdint>

#include <nlohmann/json.hpp>

#include "quantize/qwen35_moe/common/qwen35_moe_config.h"
#include "quantize/quant_result.h"

namespace varkel {

// Fails when full_attention_interval is 0 and there is at least one main layer.
QuantResult<void> write_manifest_config_common(const Qwen35MoeConfig& config, uint64_t num_layers,
                                               uint64_t num_experts, nlohmann::json& object);

}  // namespace varkel
