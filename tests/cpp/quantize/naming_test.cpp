// Name mapping expansion, layer numbers and the storage type rules of both schemes.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "common/test_files.h"
#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/qwen35_moe/common/name_mapping.h"
#include "quantize/qwen35_moe/common/tensor_names.h"
#include "quantize/qwen35_moe/int4/int4_scheme.h"

namespace varkel {
namespace {

TEST(NameMapping, ExpandsLayersAndBlocks) {
  auto forty = load_name_mapping(name_mapping_table(), 40);
  ASSERT_TRUE(forty) << forty.error();
  EXPECT_EQ(forty->size(), 113u * 40 + 24u * 27 + 40);
  EXPECT_EQ(forty->at("model.language_model.layers.39.self_attn.q_proj.weight"),
            "language_model.model.layers.39.self_attn.q_proj.weight");
  EXPECT_EQ(forty->at("mtp.layers.39.mlp.experts.gate_.biases"), "mtp.layers.39.mlp.switch_mlp.gate_up_proj.biases");
  EXPECT_FALSE(forty->contains("model.language_model.layers.40.input_layernorm.weight"));
  EXPECT_FALSE(forty->contains("model.visual.blocks.27.attn.qkv.weight"));

  auto none = load_name_mapping(name_mapping_table(), 0);
  ASSERT_TRUE(none);
  EXPECT_EQ(none->size(), 24u * 27 + 40);

  // Every occurrence of the placeholder is replaced.
  auto twice = load_name_mapping(R"({"a.{L}.b.{L}": "c.{L}.{L}"})", 2);
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->at("a.1.b.1"), "c.1.1");

  EXPECT_FALSE(load_name_mapping("{", 1));
  EXPECT_FALSE(load_name_mapping(R"({"a": 1})", 1));
  // A corrupt layer count is refused rather than expanded without end.
  auto huge = load_name_mapping(name_mapping_table(), uint64_t{1} << 40);
  ASSERT_FALSE(huge);
  EXPECT_NE(huge.error().find("num_hidden_layers"), std::string::npos);
}

TEST(TensorNames, ExtractLayer) {
  EXPECT_EQ(extract_layer("model.language_model.layers.5.mlp.experts.gate_up_proj"), 5u);
  EXPECT_EQ(extract_layer("a.layers.x.layers.7.mlp"), 7u);
  EXPECT_EQ(extract_layer("layers.7"), std::nullopt);
  EXPECT_EQ(extract_layer("layers.7x.layers.12.a"), 12u);
  EXPECT_EQ(extract_layer("layers..a"), std::nullopt);
  EXPECT_EQ(extract_layer("layers.18446744073709551615.x"), UINT64_MAX);
  EXPECT_EQ(extract_layer("layers.18446744073709551616.x"), std::nullopt);
  EXPECT_EQ(extract_layer("layers.007.x"), 7u);
}

TEST(StorageTypes, EngineNameRules) {
  EXPECT_EQ(bq4("vision_tower.blocks.1.attn.proj.weight", 2), DType::Bf16);
  EXPECT_EQ(bq4("vision_tower.patch_embed.proj.weight", 2), DType::Bf16);
  EXPECT_EQ(bq4("vision_tower.merger.linear_fc1.weight", 2), DType::U32);
  EXPECT_EQ(int4_quant("vision_tower.patch_embed.proj.weight", 2), DType::U32);
  EXPECT_EQ(int4_quant("language_model.lm_head.weight", 3), DType::Bf16);
  EXPECT_EQ(bq4("language_model.lm_head.weight", 1), DType::Bf16);
  EXPECT_EQ(bq4("x.A_log", 0), DType::F32);
}

}  // namespace
}  // namespace varkel
