#include "quantize/qwen35_moe/common/qwen35_moe_config.h"

#include "model/config/json_text.h"
#include "quantize/file_io.h"

namespace varkel {

namespace {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

void read_real(const nlohmann::json* object, const char* key, double& field) {
  const nlohmann::json* value = object == nullptr ? nullptr : member(*object, key);
  if (value != nullptr && value->is_number()) field = value->get<double>();
}

}  // namespace

std::span<const ConfigField> config_fields() {
  using C = Qwen35MoeConfig;
  static constexpr ConfigField kFields[] = {
      {"hidden_size", &C::hidden_size, nullptr},
      {"num_hidden_layers", &C::num_hidden_layers, nullptr},
      {"moe_intermediate_size", &C::moe_intermediate_size, nullptr},
      {"num_experts", &C::num_experts, nullptr},
      {"num_experts_per_tok", &C::num_experts_per_tok, nullptr},
      {"shared_expert_intermediate_size", &C::shared_expert_intermediate_size, nullptr},
      {"mtp_num_hidden_layers", &C::mtp_num_hidden_layers, nullptr},
      {"full_attention_interval", &C::full_attention_interval, nullptr},
      {"vocab_size", &C::vocab_size, nullptr},
      {"num_attention_heads", &C::num_attention_heads, nullptr},
      {"num_key_value_heads", &C::num_key_value_heads, nullptr},
      {"head_dim", &C::head_dim, nullptr},
      {"rms_norm_eps", nullptr, &C::rms_norm_eps},
      {"linear_num_value_heads", &C::linear_num_value_heads, nullptr},
      {"linear_num_key_heads", &C::linear_num_key_heads, nullptr},
      {"linear_key_head_dim", &C::linear_key_head_dim, nullptr},
      {"linear_value_head_dim", &C::linear_value_head_dim, nullptr},
      {"linear_conv_kernel_dim", &C::linear_conv_kernel_dim, nullptr},
      {"partial_rotary_factor", nullptr, &C::partial_rotary_factor},
      {"rope_theta", nullptr, &C::rope_theta},
  };
  return kFields;
}

Qwen35MoeConfig config_from_json(nlohmann::json root) {
  Qwen35MoeConfig config;
  const nlohmann::json* text_config = member(root, "text_config");
  const nlohmann::json& section = text_config != nullptr ? *text_config : root;
  // The rope object's values first: the section's own keys win.
  const nlohmann::json* rope = member(section, "rope_parameters");
  read_real(rope, "partial_rotary_factor", config.partial_rotary_factor);
  read_real(rope, "rope_theta", config.rope_theta);

  for (const ConfigField& field : config_fields()) {
    const nlohmann::json* value = member(section, field.key);
    if (field.integer != nullptr) {
      // Only a non-negative integer written without fraction or exponent counts.
      if (value != nullptr && value->is_number_unsigned()) config.*field.integer = value->get<uint64_t>();
    } else if (value != nullptr && value->is_number()) {
      config.*field.real = value->get<double>();
    }
  }

  config.raw = std::move(root);
  return config;
}

QuantResult<Qwen35MoeConfig> load_config(const std::filesystem::path& dir) {
  auto text = read_text(dir / "config.json");
  if (!text) return std::unexpected(std::move(text.error()));
  auto parsed = parse_json(*text);
  if (!parsed) return quant_error(std::move(parsed.error()));
  nlohmann::json root = std::move(*parsed);
  return config_from_json(std::move(root));
}

}  // namespace varkel
