#include "quantize/qwen35_moe/common/manifest_config.h"

#include <algorithm>

namespace varkel {

QuantResult<void> write_manifest_config_common(const Qwen35MoeConfig& config, uint64_t num_layers,
                                               uint64_t num_experts, nlohmann::json& object) {
  if (!object.is_object()) object = nlohmann::json::object();
  object["hidden_size"] = config.hidden_size;
  object["num_hidden_layers"] = num_layers;
  object["num_attention_heads"] = config.num_attention_heads;
  object["num_key_value_heads"] = config.num_key_value_heads;
  object["head_dim"] = config.head_dim;
  object["vocab_size"] = config.vocab_size;
  object["rms_norm_eps"] = config.rms_norm_eps;
  object["num_experts"] = num_experts;
  object["num_experts_per_tok"] = config.num_experts_per_tok;
  object["moe_intermediate_size"] = config.moe_intermediate_size;
  object["shared_expert_intermediate_size"] = config.shared_expert_intermediate_size;
  object["full_attention_interval"] = config.full_attention_interval;
  object["linear_num_value_heads"] = config.linear_num_value_heads;
  object["linear_num_key_heads"] = config.linear_num_key_heads;
  object["linear_key_head_dim"] = config.linear_key_head_dim;
  object["linear_value_head_dim"] = config.linear_value_head_dim;
  object["linear_conv_kernel_dim"] = config.linear_conv_kernel_dim;
  object["partial_rotary_factor"] = config.partial_rotary_factor;
  object["rope_theta"] = config.rope_theta;
  // A manifest of fewer layers than the checkpoint has no MTP layers.
  object["mtp_num_hidden_layers"] = num_layers < config.num_hidden_layers ? 0 : config.mtp_num_hidden_layers;

  // An inconsistent config (more MTP layers than layers) has no main layers.
  const uint64_t main_layers = config.num_hidden_layers > config.mtp_num_hidden_layers
                                   ? config.num_hidden_layers - config.mtp_num_hidden_layers
                                   : 0;
  const uint64_t n = std::min(main_layers, num_layers);
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
