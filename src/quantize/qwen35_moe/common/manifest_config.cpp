#include "quantize/qwen35_moe/common/manifest_config.h"

#include <algorithm>

namespace varkel {

QuantResult<void> write_manifest_config_common(const Qwen35MoeConfig& config, uint64_t num_layers,
                                               uint64_t num_experts, nlohmann::json& object) {
  if (!object.is_object()) object = nlohmann::json::object();
  for (const ConfigField& field : config_fields()) {
    if (field.integer != nullptr) {
      object[field.key] = config.*field.integer;
    } else {
      object[field.key] = config.*field.real;
    }
  }
  object["num_hidden_layers"] = num_layers;
  object["num_experts"] = num_experts;
  // A manifest of fewer layers than the checkpoint has no MTP layers.
  object["mtp_num_hidden_layers"] = num_layers < config.num_hidden_layers ? 0 : config.mtp_num_hidden_layers;

  const uint64_t n = std::min(main_layer_count(config), num_layers);
  const uint64_t interval = config.full_attention_interval;
  if (interval == 0 && n >= 1) return quant_error("attempt to calculate the remainder with a divisor of zero");
  nlohmann::json layer_types = nlohmann::json::array();
  for (uint64_t i = 0; i < n; ++i) {
    layer_types.push_back((i + 1) % interval == 0 ? "full_attention" : "linear_attention");
  }
  object["layer_types"] = std::move(layer_types);
  return {};
}

}  // namespace varkel
