#include "engine/qwen35_constants.h"

#include <fmt/format.h>

#include <vector>

#include "error/debug_quote.h"
#include "model/config/model_config.h"

namespace varkel {

namespace {

// The string elements of "architectures" in order; anything else gives none.
std::vector<std::string> architecture_strings(const ModelConfig& config) {
  std::vector<std::string> names;
  const auto* value = config.resolve("architectures");
  if (value == nullptr || !value->is_array()) return names;
  for (const auto& element : *value) {
    if (element.is_string()) names.push_back(element.template get<std::string>());
  }
  return names;
}

std::size_t value_or_zero(const ModelConfig& config, std::string_view key) {
  return config.get_usize(key).value_or(0);
}

// A product too large for 64 bits cannot equal a constant: saturate.
std::size_t product(std::size_t a, std::size_t b) {
  std::size_t out = 0;
  return __builtin_mul_overflow(a, b, &out) ? SIZE_MAX : out;
}

}  // namespace

std::optional<std::string> validate_config_against(const ModelConfig& config, const ConstantSetValues& set) {
  std::vector<std::string> messages;

  const std::vector<std::string> architectures = architecture_strings(config);
  bool found = false;
  for (const auto& name : architectures) found = found || name == set.architecture;
  if (!found) {
    messages.push_back(
        fmt::format("architecture mismatch: found={}, expected=\"{}\"", debug_list(architectures), set.architecture));
  }

  const std::size_t nk = value_or_zero(config, "linear_num_key_heads");
  const std::size_t dk = value_or_zero(config, "linear_key_head_dim");
  const std::size_t nv = value_or_zero(config, "linear_num_value_heads");
  const std::size_t dv = value_or_zero(config, "linear_value_head_dim");

  auto check = [&](std::string_view name, std::optional<std::size_t> found_value, std::size_t expected) {
    if (!found_value || *found_value != expected) {
      messages.push_back(fmt::format("{}: config={}, const={}", name, found_value.value_or(0), expected));
    }
  };
  auto key = [&](std::string_view name) -> std::optional<std::size_t> {
    const auto value = config.get_usize(name);
    if (!value) return std::nullopt;
    return static_cast<std::size_t>(*value);
  };

  check("hidden_size", key("hidden_size"), qwen35::kHiddenSize);
  check("num_hidden_layers", key("num_hidden_layers"), set.num_layers);
  check("num_experts", key("num_experts"), set.num_experts);
  check("num_experts_per_tok", key("num_experts_per_tok"), set.experts_per_tok);
  check("moe_intermediate_size", key("moe_intermediate_size"), qwen35::kMoeIntermediateSize);
  check("shared_expert_intermediate_size", key("shared_expert_intermediate_size"),
        qwen35::kSharedExpertIntermediateSize);
  check("num_attention_heads", key("num_attention_heads"), qwen35::kNumAttentionHeads);
  check("num_key_value_heads", key("num_key_value_heads"), qwen35::kNumKeyValueHeads);
  check("head_dim", key("head_dim"), qwen35::kHeadDim);
  check("vocab_size", key("vocab_size"), qwen35::kVocabSize);
  // The derived checks compare values whose absence already counts as 0.
  check("linear_num_value_heads", nv, qwen35::kLinearNumValueHeads);
  check("linear_num_key_heads", nk, qwen35::kLinearNumKeyHeads);
  check("linear_total_key", product(nk, dk), qwen35::kLinearTotalKey);
  check("linear_total_value", product(nv, dv), qwen35::kLinearTotalValue);

  if (messages.empty()) return std::nullopt;
  std::string joined;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    if (i != 0) joined += "; ";
    joined += messages[i];
  }
  return joined;
}

}  // namespace varkel
