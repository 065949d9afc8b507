#pragma once
// A converted synthetic checkpoint and what the tests expect of it.

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "common/test_files.h"
#include "dtype/dtype.h"
#include "quantize/quant_result.h"
#include "quantize/run.h"
#include "quantize/synthetic_checkpoint.h"

namespace varkel::quantize_test {

// The engine name a checkpoint name converts to.
inline std::string engine_name(const std::string& name) {
  if (name.starts_with("lm_head.")) return "language_model." + name;
  if (name.starts_with("model.language_model.")) return "language_model.model." + name.substr(21);
  return name;
}

// The storage type each scheme gives a non-expert source tensor.
inline DType expected_type(const SourceTensor& t, bool bq4) {
  if (t.name.ends_with(".A_log")) return DType::F32;
  if (t.shape.size() != 2 || !t.name.ends_with(".weight")) return DType::Bf16;
  if (!bq4) return DType::U32;
  if (t.name == "lm_head.weight") return DType::U8;
  const bool attention = t.name.find(".self_attn.") != std::string::npos && t.name.ends_with("_proj.weight");
  return attention || t.name.ends_with(".mlp.gate.weight") ? DType::Bf16 : DType::U32;
}

// Norm weights that "3.6" stores as w - 1.
inline bool shifted_norm(const std::string& name) {
  return name.ends_with(".input_layernorm.weight") || name.ends_with(".post_attention_layernorm.weight") ||
         name.ends_with(".q_norm.weight") || name.ends_with(".k_norm.weight") ||
         name == "model.language_model.norm.weight";
}

inline bool is_expert_or_vision(const std::string& name) {
  return name.find(".mlp.experts.") != std::string::npos || name.starts_with("model.visual.");
}

struct Conversion {
  QuantResult<void> result;
  std::string log;  // standard error of the run
};

// Runs the driver with `scheme` on a local `source`, capturing standard error.
inline Conversion convert(const std::string& source, const std::filesystem::path& out, const QuantScheme& scheme) {
  auto [result, log] = testing_support::capture_stderr([&] { return run(source, out.string(), scheme); });
  return {std::move(result), std::move(log)};
}

inline nlohmann::json read_json(const std::filesystem::path& path) {
  return nlohmann::json::parse(testing_support::read_file(path));
}

}  // namespace varkel::quantize_test
