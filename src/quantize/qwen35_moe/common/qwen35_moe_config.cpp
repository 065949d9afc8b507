#include "quantize/qwen35_moe/common/qwen35_moe_config.h"

#include "quantize/file_io.h"

namespace varkel {

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

// Only a non-negative integer written without fraction or exponent counts.
void read_unsigned(const nlohmann::json& section, const char* key, uint64_t& field) {
  const nlohmann::json* value = member(section, key);
  if (value != nullptr && value->is_number_unsigned()) field = value->get<uint64_t>();
}

void read_real(const nlohmann::json* object, const char* key, double& field) {
  const nlohmann::json* value = object == nullptr ? nullptr : member(*object, key);
  if (value != nullptr && value->is_number()) field = value->get<double>();
}

}  // namespace

Qwen35MoeConfig config_from_json(nlohmann::json root) {
  Qwen35MoeConfig config;
  const nlohmann::json* text_config = member(root, "text_config");
  const nlohmann::json& section = text_config != nullptr ? *text_config : root;
  const nlohmann::json* rope = member(section, "rope_parameters");

  read_unsigned(section, "hidden_size", config.hidden_size);
  read_unsigned(section, "num_hidden_layers", config.num_hidden_layers);
  read_unsigned(section, "moe_intermediate_size", config.moe_intermediate_size);
  read_unsigned(section, "num_experts", config.num_experts);
  read_unsigned(section, "num_experts_per_tok", config.num_experts_per_tok);
  read_unsigned(section, "shared_expert_intermediate_size", config.shared_expert_intermediate_size);
  read_unsigned(section, "mtp_num_hidden_layers", config.mtp_num_hidden_layers);
  read_unsigned(section, "full_attention_interval", config.full_attention_interval);
  read_unsigned(section, "vocab_size", config.vocab_size);
  read_unsigned(section, "num_attention_heads", config.num_attention_heads);
  read_unsigned(section, "num_key_value_heads", config.num_key_value_heads);
  read_unsigned(section, "head_dim", config.head_dim);
  read_real(&section, "rms_norm_eps", config.rms_norm_eps);
  read_unsigned(section, "linear_num_value_heads", config.linear_num_value_heads);
  read_unsigned(section, "linear_num_key_heads", config.linear_num_key_heads);
  read_unsigned(section, "linear_key_head_dim", config.linear_key_head_dim);
  read_unsigned(section, "linear_value_head_dim", config.linear_value_head_dim);
  read_unsigned(section, "linear_conv_kernel_dim", config.linear_conv_kernel_dim);
  // The section's own key wins over the rope object's.
  read_real(rope, "partial_rotary_factor", config.partial_rotary_factor);
  read_real(&section, "partial_rotary_factor", config.partial_rotary_factor);
  read_real(rope, "rope_theta", config.rope_theta);
  read_real(&section, "rope_theta", config.rope_theta);

  config.raw = std::move(root);
  return config;
}

QuantResult<Qwen35MoeConfig> load_config(const std::filesystem::path& dir) {
  auto text = read_text(dir / "config.json");
  if (!text) return std::unexpected(std::move(text.error()));
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(*text);
  } catch (const nlohmann::json::parse_error& e) {
    return quant_error(e.what());
  }
  return config_from_json(std::move(root));
}

}  // namespace varkel
