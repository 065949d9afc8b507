#include "model/config/model_config.h"

#include "model/config/json_text.h"
#include "model/io/text_file.h"

namespace varkel {

ModelConfig::ModelConfig(nlohmann::json root)
    : root_(root.is_object() ? std::move(root) : nlohmann::json::object()) {}

const nlohmann::json* ModelConfig::resolve(std::string_view key) const {
  if (auto it = root_.find(key); it != root_.end()) return &*it;
  auto text = root_.find("text_config");
  if (text == root_.end() || !text->is_object()) return nullptr;
  if (auto it = text->find(key); it != text->end()) return &*it;
  return nullptr;
}

std::optional<uint64_t> ModelConfig::get_usize(std::string_view key) const {
  const nlohmann::json* value = nullptr;
  if (const size_t dot = key.find('.'); dot != std::string_view::npos) {
    const nlohmann::json* outer = resolve(key.substr(0, dot));
    if (outer == nullptr || !outer->is_object()) return std::nullopt;
    auto it = outer->find(key.substr(dot + 1));
    if (it == outer->end()) return std::nullopt;
    value = &*it;
  } else {
    value = resolve(key);
  }
  if (value == nullptr || !is_unsigned_integer(*value)) return std::nullopt;
  return value->get<uint64_t>();
}

std::expected<ModelConfig, std::string> load_model_config(const std::filesystem::path& dir) {
  auto text = read_text_file(dir / "config.json");
  if (!text) return std::unexpected(text.error().to_string());
  auto root = parse_json(*text);
  if (!root) return std::unexpected(std::move(root.error()));
  return ModelConfig(std::move(*root));
}

}  // namespace varkel
