#include "engine/qwen35_constants.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "model/config/model_config.h"

namespace varkel {
namespace {

using nlohmann::json;

json full_values(std::string_view architecture) {
  return json{{"architectures", {architecture}}, {"hidden_size", 2048}, {"num_hidden_layers", 40},
              {"num_experts", 256}, {"num_experts_per_tok", 8}, {"moe_intermediate_size", 512},
              {"shared_expert_intermediate_size", 512}, {"num_attention_heads", 16}, {"num_key_value_heads", 2},
              {"head_dim", 256}, {"vocab_size", 248320}, {"linear_num_value_heads", 32},
              {"linear_num_key_heads", 16}, {"linear_key_head_dim", 128}, {"linear_value_head_dim", 128}};
}

json stripped_values() {
  json config = full_values("Qwen3_5MoeForConditionalGeneration_Stripped");
  config["num_hidden_layers"] = 4;
  config["num_experts"] = 4;
  config["num_experts_per_tok"] = 4;
  return config;
}

ModelConfig as_read(const json& config) { return ModelConfig(json::parse(config.dump())); }
std::optional<std::string> full_check(const json& config) { return validate_config<FullModel>(as_read(config)); }
std::optional<std::string> stripped_check(const json& config) { return validate_config<StrippedModel>(as_read(config)); }

TEST(ValidateConfig, MessagesJoinInCheckOrder) {
  EXPECT_EQ(full_check(full_values("Qwen3_5MoeForConditionalGeneration")), std::nullopt);
  EXPECT_EQ(stripped_check(stripped_values()), std::nullopt);
  EXPECT_EQ(full_check(stripped_values()),
            "architecture mismatch: found=[\"Qwen3_5MoeForConditionalGeneration_Stripped\"], "
            "expected=\"Qwen3_5MoeForConditionalGeneration\"; num_hidden_layers: config=4, const=40; "
            "num_experts: config=4, const=256; num_experts_per_tok: config=4, const=8");
  EXPECT_EQ(full_check(json::object()),
            "architecture mismatch: found=[], expected=\"Qwen3_5MoeForConditionalGeneration\"; "
            "hidden_size: config=0, const=2048; num_hidden_layers: config=0, const=40; "
            "num_experts: config=0, const=256; num_experts_per_tok: config=0, const=8; "
            "moe_intermediate_size: config=0, const=512; shared_expert_intermediate_size: config=0, const=512; "
            "num_attention_heads: config=0, const=16; num_key_value_heads: config=0, const=2; "
            "head_dim: config=0, const=256; vocab_size: config=0, const=248320; "
            "linear_num_value_heads: config=0, const=32; linear_num_key_heads: config=0, const=16; "
            "linear_total_key: config=0, const=2048; linear_total_value: config=0, const=4096");
  json config = full_values("x");
  config["architectures"] = json::array({"a\"b\\c", 5, "Other"});
  EXPECT_EQ(full_check(config), "architecture mismatch: found=[\"a\\\"b\\\\c\", \"Other\"], "
                                "expected=\"Qwen3_5MoeForConditionalGeneration\"");
  config = stripped_values();
  config["linear_num_value_heads"] = 16;
  EXPECT_EQ(stripped_check(config), "linear_num_value_heads: config=16, const=32; linear_total_value: config=2048, "
                                    "const=4096");
}

}  // namespace
}  // namespace varkel
