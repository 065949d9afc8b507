#pragma once
// The quantizer's own reading of a checkpoint's "config.json".

#include <cstdint>
#include <filesystem>
#include <span>

#include <nlohmann/json.hpp>

#include "quantize/quant_result.h"

namespace varkel {

struct Qwen35MoeConfig {
  nlohmann::json raw;  // the whole parsed root
  uint64_t hidden_size = 0;
  uint64_t num_hidden_layers = 0;
  uint64_t moe_intermediate_size = 0;
  uint64_t num_experts = 0;
  uint64_t num_experts_per_tok = 0;
  uint64_t shared_expert_intermediate_size = 0;
  uint64_t mtp_num_hidden_layers = 0;
  uint64_t full_attention_interval = 4;
  uint64_t vocab_size = 0;
  uint64_t num_attention_heads = 0;
  uint64_t num_key_value_heads = 0;
  uint64_t head_dim = 0;
  double rms_norm_eps = 1e-6;
  uint64_t linear_num_value_heads = 32;
  uint64_t linear_num_key_heads = 16;
  uint64_t linear_key_head_dim = 128;
  uint64_t linear_value_head_dim = 128;
  uint64_t linear_conv_kernel_dim = 4;
  double partial_rotary_factor = 0.25;
  double rope_theta = 1e7;
};

// num_hidden_layers less the MTP layers; 0 for an inconsistent config with
// more MTP layers than layers.
inline uint64_t main_layer_count(const Qwen35MoeConfig& config) {
  return config.num_hidden_layers > config.mtp_num_hidden_layers
             ? config.num_hidden_layers - config.mtp_num_hidden_layers
             : 0;
}

// The fields as "config.json" and the weight manifest name them: each is an
// unsigned integer or a real.
struct ConfigField {
  const char* key;
  uint64_t Qwen35MoeConfig::*integer;
  double Qwen35MoeConfig::*real;
};
std::span<const ConfigField> config_fields();

// Fills the fields from a parsed root: from its "text_config" member when the
// root has one (of any kind), else from the root itself.
Qwen35MoeConfig config_from_json(nlohmann::json root);

// Reads dir/"config.json". Errors: the I/O error's text or the parser's.
QuantResult<Qwen35MoeConfig> load_config(const std::filesystem::path& dir);

}  // namespace varkel
