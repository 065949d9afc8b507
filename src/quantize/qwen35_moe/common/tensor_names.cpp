#include "quantize/qwen35_moe/common/tensor_names.h"

#include <array>
#include <limits>

namespace varkel {

std::optional<uint64_t> extract_layer(std::string_view name) {
  static constexpr std::string_view kMarker = "layers.";
  for (std::size_t at = name.find(kMarker); at != std::string_view::npos; at = name.find(kMarker, at + 1)) {
    std::size_t pos = at + kMarker.size();
    const std::size_t digits_start = pos;
    uint64_t value = 0;
    bool overflow = false;
    while (pos < name.size() && name[pos] >= '0' && name[pos] <= '9') {
      const uint64_t digit = static_cast<uint64_t>(name[pos] - '0');
      if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) overflow = true;
      value = value * 10 + digit;
      ++pos;
    }
    if (pos > digits_start && !overflow && pos < name.size() && name[pos] == '.') return value;
  }
  return std::nullopt;
}

namespace {

// What follows a layer or block number, or the rest itself when no "." follows it.
std::string_view drop_numbered(std::string_view rest) {
  const std::size_t dot = rest.find('.');
  return dot == std::string_view::npos ? rest : rest.substr(dot + 1);
}

}  // namespace

std::string_view strip_layer_prefix(std::string_view name) {
  struct Rule {
    std::string_view prefix;
    bool numbered;
  };
  static constexpr std::array<Rule, 6> kRules = {{
      {"language_model.model.layers.", true},
      {"language_model.", false},
      {"vision_tower.blocks.", true},
      {"vision_tower.", false},
      {"mtp.layers.", true},
      {"mtp.", false},
  }};
  for (const Rule& rule : kRules) {
    if (name.starts_with(rule.prefix)) {
      const std::string_view rest = name.substr(rule.prefix.size());
      return rule.numbered ? drop_numbered(rest) : rest;
    }
  }
  return name;
}

bool is_norm_key(std::string_view name) {
  static constexpr std::array<std::string_view, 10> kEndings = {
      ".input_layernorm.weight", ".post_attention_layernorm.weight", "model.norm.weight", ".q_norm.weight",
      ".k_norm.weight",          ".hnorm.weight",                    ".enorm.weight",     ".shared_head.norm.weight",
      ".norm1.weight",           ".norm2.weight",
  };
  for (std::string_view ending : kEndings) {
    if (name.ends_with(ending)) return true;
  }
  return false;
}

}  // namespace varkel
