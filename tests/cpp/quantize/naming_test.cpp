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

using testing_support::ScratchDir;

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

class SchemeFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::write_file(dir_ / "config.json", R"({"text_config": {"num_hidden_layers": 40}})");
    bq4_.emplace(testing_support::quietly([&] { return BQ4Scheme::create(dir_.path(), false); }).value());
    int4_.emplace(testing_support::quietly([&] { return Int4Scheme::create(dir_.path(), false); }).value());
  }
  ScratchDir dir_;
  std::optional<BQ4Scheme> bq4_;
  std::optional<Int4Scheme> int4_;
};

TEST_F(SchemeFixture, StorageTypesPerScheme) {
  struct Case {
    const char* name;
    std::vector<std::size_t> shape;
    DType bq4, int4;
  };
  const std::vector<Case> cases = {
      {"lm_head.weight", {248320, 2048}, DType::U8, DType::U32},
      {"model.language_model.layers.0.mlp.gate.weight", {256, 2048}, DType::Bf16, DType::U32},
      {"model.language_model.layers.0.linear_attn.A_log", {32}, DType::F32, DType::F32},
      {"model.language_model.embed_tokens.weight", {248320, 2048}, DType::U32, DType::U32},
      {"model.language_model.layers.3.self_attn.q_proj.weight", {8192, 2048}, DType::Bf16, DType::U32},
      {"mtp.layers.0.self_attn.k_proj.weight", {512, 2048}, DType::Bf16, DType::U32},
      {"model.language_model.layers.0.linear_attn.in_proj_qkv.weight", {8192, 2048}, DType::U32, DType::U32},
      {"model.language_model.layers.0.linear_attn.conv1d.weight", {8192, 1, 4}, DType::Bf16, DType::Bf16},
      {"model.language_model.layers.0.mlp.shared_expert_gate.weight", {1, 2048}, DType::U32, DType::U32},
      {"model.language_model.layers.0.input_layernorm.weight", {2048}, DType::Bf16, DType::Bf16},
      {"lm_head.scales", {248320, 32}, DType::Bf16, DType::Bf16},
      {"nodots", {4, 4}, DType::Bf16, DType::Bf16},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bq4_->classify(c.name, c.shape).dtype, c.bq4) << c.name;
    EXPECT_EQ(int4_->classify(c.name, c.shape).dtype, c.int4) << c.name;
  }
  // The rules on engine names directly, including the vision projections.
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
