#include "engine/qwen35_constants.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "model/config/model_config.h"

namespace varkel {
namespace {

using nlohmann::json;

json full_values(std::string_view architecture) {
  return json{{"architectures", {architecture}},
              {"hidden_size", 2048},
              {"num_hidden_layers", 40},
              {"num_experts", 256},
              {"num_experts_per_tok", 8},
              {"moe_intermediate_size", 512},
              {"shared_expert_intermediate_size", 512},
              {"num_attention_heads", 16},
              {"num_key_value_heads", 2},
              {"head_dim", 256},
              {"vocab_size", 248320},
              {"linear_num_value_heads", 32},
              {"linear_num_key_heads", 16},
              {"linear_key_head_dim", 128},
              {"linear_value_head_dim", 128}};
}

json stripped_values() {
  json config = full_values("Qwen3_5MoeForConditionalGeneration_Stripped");
  config["num_hidden_layers"] = 4;
  config["num_experts"] = 4;
  config["num_experts_per_tok"] = 4;
  return config;
}

// Through text, as config.json is read: numbers take the parser's forms.
ModelConfig as_read(const json& config) { return ModelConfig(json::parse(config.dump())); }
std::optional<std::string> full_check(const json& config) { return validate_config<FullModel>(as_read(config)); }
std::optional<std::string> stripped_check(const json& config) { return validate_config<StrippedModel>(as_read(config)); }

TEST(ValidateConfig, AgreeingConfigurationsPassForTheirOwnSetOnly) {
  EXPECT_EQ(full_check(full_values("Qwen3_5MoeForConditionalGeneration")), std::nullopt);
  EXPECT_EQ(stripped_check(stripped_values()), std::nullopt);

  // The stripped name with the full model's sizes: three messages in table order.
  EXPECT_EQ(stripped_check(full_values("Qwen3_5MoeForConditionalGeneration_Stripped")),
            "num_hidden_layers: config=40, const=4; num_experts: config=256, const=4; "
            "num_experts_per_tok: config=8, const=4");

  // The stripped configuration against the full set: the architecture first.
  EXPECT_EQ(full_check(stripped_values()),
            "architecture mismatch: found=[\"Qwen3_5MoeForConditionalGeneration_Stripped\"], "
            "expected=\"Qwen3_5MoeForConditionalGeneration\"; num_hidden_layers: config=4, const=40; "
            "num_experts: config=4, const=256; num_experts_per_tok: config=4, const=8");

  // Values inside "text_config" count like top-level ones.
  json nested = {{"architectures", {"Qwen3_5MoeForConditionalGeneration"}},
                 {"text_config", full_values("Qwen3_5MoeForConditionalGeneration")}};
  nested["text_config"].erase("architectures");
  EXPECT_EQ(full_check(nested), std::nullopt);
}

TEST(ValidateConfig, ArchitectureListMatchesAnyPositionAndQuotesWhatItFound) {
  json config = full_values("x");
  config["architectures"] = {"Other", "Qwen3_5MoeForConditionalGeneration"};
  EXPECT_EQ(full_check(config), std::nullopt);

  // Non-strings are skipped; strings are shown debug-quoted.
  config["architectures"] = json::array({"a\"b\\c", 5, nullptr, "tab\there"});
  EXPECT_EQ(full_check(config), "architecture mismatch: found=[\"a\\\"b\\\\c\", \"tab\\there\"], "
                                "expected=\"Qwen3_5MoeForConditionalGeneration\"");

  config["architectures"] = "Qwen3_5MoeForConditionalGeneration";  // not an array
  EXPECT_EQ(full_check(config), "architecture mismatch: found=[], expected=\"Qwen3_5MoeForConditionalGeneration\"");

  config.erase("architectures");
  EXPECT_EQ(full_check(config), "architecture mismatch: found=[], expected=\"Qwen3_5MoeForConditionalGeneration\"");
}

TEST(ValidateConfig, AbsentOrUnacceptableValuesReportZero) {
  json config = stripped_values();
  config.erase("hidden_size");
  EXPECT_EQ(stripped_check(config), "hidden_size: config=0, const=2048");
  config["hidden_size"] = 2048.0;  // fraction form
  EXPECT_EQ(stripped_check(config), "hidden_size: config=0, const=2048");
  config["hidden_size"] = "2048";
  EXPECT_EQ(stripped_check(config), "hidden_size: config=0, const=2048");
  config["hidden_size"] = -2048;
  EXPECT_EQ(stripped_check(config), "hidden_size: config=0, const=2048");

  // A missing factor shows in the product only.
  config = stripped_values();
  config.erase("linear_key_head_dim");
  EXPECT_EQ(stripped_check(config), "linear_total_key: config=0, const=2048");
  config = stripped_values();
  config["linear_value_head_dim"] = 64;
  EXPECT_EQ(stripped_check(config), "linear_total_value: config=2048, const=4096");
  config = stripped_values();
  config["linear_num_value_heads"] = 16;
  EXPECT_EQ(stripped_check(config),
            "linear_num_value_heads: config=16, const=32; linear_total_value: config=2048, const=4096");

  // Products too large for 64 bits never match.
  config = stripped_values();
  config["linear_num_key_heads"] = 16;
  config["linear_key_head_dim"] = uint64_t{1} << 62;
  EXPECT_TRUE(stripped_check(config).value().starts_with("linear_total_key: config="));
}

TEST(ValidateConfig, EmptyConfigurationListsEveryCheckInOrder) {
  EXPECT_EQ(full_check(json::object()),
            "architecture mismatch: found=[], expected=\"Qwen3_5MoeForConditionalGeneration\"; "
            "hidden_size: config=0, const=2048; num_hidden_layers: config=0, const=40; "
            "num_experts: config=0, const=256; num_experts_per_tok: config=0, const=8; "
            "moe_intermediate_size: config=0, const=512; shared_expert_intermediate_size: config=0, const=512; "
            "num_attention_heads: config=0, const=16; num_key_value_heads: config=0, const=2; "
            "head_dim: config=0, const=256; vocab_size: config=0, const=248320; "
            "linear_num_value_heads: config=0, const=32; linear_num_key_heads: config=0, const=16; "
            "linear_total_key: config=0, const=2048; linear_total_value: config=0, const=4096");
}

TEST(LayerPattern, EveryFourthLayerIsFullAttentionWithDenseIndices) {
  // FullModel: 10 full layers indexed 0..9, 30 linear layers indexed 0..29, in order.
  std::size_t full = 0;
  std::size_t linear = 0;
  for (std::size_t layer = 0; layer < FullModel::kNumLayers; ++layer) {
    if (qwen35::is_full_attention_layer(layer)) {
      EXPECT_EQ((layer + 1) % 4, 0u);
      EXPECT_EQ(qwen35::full_attention_index(layer), full++);
    } else {
      EXPECT_EQ(qwen35::linear_attention_index(layer), linear++);
    }
  }
  EXPECT_EQ(full, FullModel::kFullLayers);
  EXPECT_EQ(linear, FullModel::kLinearLayers);
  EXPECT_EQ(qwen35::linear_attention_index(38), 29u);
  EXPECT_EQ(qwen35::full_attention_index(3), 0u);
}

}  // namespace
}  // namespace varkel
