#include "quantize/qwen35_moe/common/name_mapping.h"

#include <nlohmann/json.hpp>

#include "model/config/json_text.h"

namespace varkel {

namespace {

constexpr uint64_t kVisionBlocks = 27;
// Far beyond any real model; keeps a corrupt config from exhausting memory.
constexpr uint64_t kMaxLayers = 1 << 16;

std::string replace_all(std::string_view text, std::string_view pattern, std::string_view with) {
  std::string out;
  std::size_t start = 0;
  for (std::size_t at = text.find(pattern); at != std::string_view::npos; at = text.find(pattern, start)) {
    out.append(text.substr(start, at - start));
    out.append(with);
    start = at + pattern.size();
  }
  out.append(text.substr(start));
  return out;
}

void expand(NameMap& out, const std::string& key, const std::string& value, std::string_view placeholder,
            uint64_t count) {
  for (uint64_t i = 0; i < count; ++i) {
    const std::string index = std::to_string(i);
    out.insert_or_assign(replace_all(key, placeholder, index), replace_all(value, placeholder, index));
  }
}

}  // namespace

QuantResult<NameMap> load_name_mapping(std::string_view table_json, uint64_t layers) {
  if (layers > kMaxLayers) {
    return quant_error("num_hidden_layers " + std::to_string(layers) + " is beyond the supported " +
                       std::to_string(kMaxLayers));
  }
  std::unordered_map<std::string, std::string> table;
  auto parsed = parse_json(table_json);
  if (!parsed) return quant_error(std::move(parsed.error()));
  if (!parsed->is_object()) return quant_error("name mapping: expected a JSON object");
  for (const auto& [key, value] : parsed->items()) {
    if (!value.is_string()) return quant_error("name mapping: value of \"" + key + "\" is not a string");
    table.emplace(key, value.get<std::string>());
  }

  NameMap out;
  for (const auto& [key, value] : table) {
    if (key.find("{L}") != std::string::npos) {
      expand(out, key, value, "{L}", layers);
    } else if (key.find("{B}") != std::string::npos) {
      expand(out, key, value, "{B}", kVisionBlocks);
    } else {
      out.insert_or_assign(key, value);
    }
  }
  return out;
}

}  // namespace varkel
