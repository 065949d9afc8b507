#include "quantize/conversion_fixture.h"

#include <gtest/gtest.h>

#include "common/test_files.h"
#include "quantize/run.h"

namespace varkel::quantize_test {

std::string engine_name(const std::string& name) {
  if (name.starts_with("lm_head.")) return "language_model." + name;
  if (name.starts_with("model.language_model.")) return "language_model.model." + name.substr(21);
  return name;
}

DType expected_type(const SourceTensor& t, bool bq4) {
  if (t.name.ends_with(".A_log")) return DType::F32;
  if (t.shape.size() != 2 || !t.name.ends_with(".weight")) return DType::Bf16;
  if (!bq4) return DType::U32;
  if (t.name == "lm_head.weight") return DType::U8;
  const bool attention = t.name.find(".self_attn.") != std::string::npos && t.name.ends_with("_proj.weight");
  if (attention || t.name.ends_with(".mlp.gate.weight")) return DType::Bf16;
  return DType::U32;
}

bool shifted_norm(const std::string& name) {
  return name.ends_with(".input_layernorm.weight") || name.ends_with(".post_attention_layernorm.weight") ||
         name.ends_with(".q_norm.weight") || name.ends_with(".k_norm.weight") ||
         name == "model.language_model.norm.weight";
}

bool is_expert_or_vision(const std::string& name) {
  return name.find(".mlp.experts.") != std::string::npos || name.starts_with("model.visual.");
}

Conversion convert(const std::string& source, const std::filesystem::path& out, const QuantScheme& scheme) {
  auto [result, log] = testing_support::capture_stderr([&] { return run(source, out.string(), scheme); });
  return {std::move(result), std::move(log)};
}

nlohmann::json read_json(const std::filesystem::path& path) {
  return nlohmann::json::parse(testing_support::read_file(path));
}

}  // namespace varkel::quantize_test
