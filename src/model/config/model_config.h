#pragma once
// The parsed "config.json" of a converted model directory.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace varkel {

class ModelConfig {
 public:
  // An empty configuration: every lookup yields nothing.
  ModelConfig() : root_(nlohmann::json::object()) {}
  // Takes `root` when it is an object; any other value gives an empty configuration.
  explicit ModelConfig(nlohmann::json root);

  // The member `key` of the root, else of a "text_config" object; nullptr when neither has it.
  const nlohmann::json* resolve(std::string_view key) const;

  // An unsigned integer under `key` (written without sign, fraction or exponent, fitting
  // 64 bits). "a.b" reads member "b" of the object that resolve("a") finds. Never fails.
  // A configuration built in code must hold such numbers as unsigned JSON values (1u, not 1):
  // signed ones stand for the negative numbers of parsed text.
  std::optional<uint64_t> get_usize(std::string_view key) const;

  // The root object, members ordered by name.
  const nlohmann::json& root() const { return root_; }

 private:
  nlohmann::json root_;
};

// Reads dir/"config.json". The error is a message: the I/O error's display text or the
// parser's (which names line and column).
std::expected<ModelConfig, std::string> load_model_config(const std::filesystem::path& dir);

}  // namespace varkel
