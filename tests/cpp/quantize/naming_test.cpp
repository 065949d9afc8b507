// Name mapping, layer numbers, prefixes, norm keys, classification and the
// storage type rules of both schemes.

#include <map>

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

TEST(NameMapping, CompiledTableIsExactlyTheFourFamilies) {
  // The table built again from its families (prefix, components, suffixes);
  // the compiled one must hold these entries and nothing else.
  std::map<std::string, std::string> expected;
  const auto family = [&](const std::string& from, const std::string& to, std::initializer_list<const char*> parts,
                          std::initializer_list<const char*> suffixes) {
    for (const char* part : parts) {
      for (const char* suffix : suffixes) {
        const std::string rest = std::string(part) + (*part && *suffix ? "." : "") + suffix;
        EXPECT_TRUE(expected.emplace(from + rest, to + rest).second) << from + rest;
      }
    }
  };
  const auto three = {"biases", "scales", "weight"};
  const auto four = {"bias", "biases", "scales", "weight"};
  const std::string lm = "model.language_model.", lm_to = "language_model.model.";
  family("lm_head.", "language_model.lm_head.", {""}, three);
  family(lm, lm_to, {"embed_tokens", "norm"}, three);
  family(lm + "layers.{L}.", lm_to + "layers.{L}.",
         {"input_layernorm", "post_attention_layernorm", "linear_attn.conv1d", "linear_attn.in_proj_a",
          "linear_attn.in_proj_b", "linear_attn.in_proj_qkv", "linear_attn.in_proj_z", "linear_attn.norm",
          "linear_attn.out_proj", "mlp.gate", "mlp.shared_expert.down_proj", "mlp.shared_expert.gate_proj",
          "mlp.shared_expert.up_proj", "mlp.shared_expert_gate", "self_attn.k_norm", "self_attn.k_proj",
          "self_attn.o_proj", "self_attn.q_norm", "self_attn.q_proj", "self_attn.v_proj"},
         three);
  family(lm + "layers.{L}.", lm_to + "layers.{L}.", {"linear_attn.A_log", "linear_attn.dt_bias"}, {""});
  family("model.visual.blocks.{B}.", "vision_tower.blocks.{B}.",
         {"attn.proj", "attn.qkv", "mlp.linear_fc1", "mlp.linear_fc2", "norm1", "norm2"}, four);
  family("model.visual.", "vision_tower.", {"merger.linear_fc1", "merger.linear_fc2", "merger.norm", "patch_embed.proj"},
         four);
  family("model.visual.", "vision_tower.", {"pos_embed"}, three);
  family("mtp.", "mtp.", {"fc", "norm", "pre_fc_norm_embedding", "pre_fc_norm_hidden"}, three);
  family("mtp.layers.{L}.", "mtp.layers.{L}.",
         {"input_layernorm", "post_attention_layernorm", "mlp.gate", "mlp.shared_expert.down_proj",
          "mlp.shared_expert.gate_proj", "mlp.shared_expert.up_proj", "mlp.shared_expert_gate", "self_attn.k_norm",
          "self_attn.k_proj", "self_attn.o_proj", "self_attn.q_norm", "self_attn.q_proj", "self_attn.v_proj"},
         three);
  // The renamed expert entries, short forms included.
  const std::pair<const char*, const char*> experts[] = {
      {"mlp.experts.gate_up_proj", "mlp.switch_mlp.gate_up_proj.weight"},
      {"mlp.experts.gate_.scales", "mlp.switch_mlp.gate_up_proj.scales"},
      {"mlp.experts.gate_.biases", "mlp.switch_mlp.gate_up_proj.biases"},
      {"mlp.experts.down_proj", "mlp.switch_mlp.down_proj.weight"},
      {"mlp.experts.do.scales", "mlp.switch_mlp.down_proj.scales"},
      {"mlp.experts.do.biases", "mlp.switch_mlp.down_proj.biases"},
  };
  for (const auto& [key, value] : experts) {
    expected.emplace(lm + "layers.{L}." + key, lm_to + "layers.{L}." + value);
    expected.emplace(std::string("mtp.layers.{L}.") + key, std::string("mtp.layers.{L}.") + value);
  }
  ASSERT_EQ(expected.size(), 177u);

  const nlohmann::json table = nlohmann::json::parse(name_mapping_table());
  ASSERT_TRUE(table.is_object());
  std::map<std::string, std::string> compiled;
  for (const auto& [key, value] : table.items()) compiled.emplace(key, value.get<std::string>());
  EXPECT_EQ(compiled, expected);
}

TEST(NameMapping, ExpandsLayersAndBlocks) {
  auto forty = load_name_mapping(name_mapping_table(), 40);
  ASSERT_TRUE(forty) << forty.error();
  EXPECT_EQ(forty->size(), 113u * 40 + 24u * 27 + 40);
  EXPECT_EQ(forty->at("model.language_model.layers.39.self_attn.q_proj.weight"),
            "language_model.model.layers.39.self_attn.q_proj.weight");
  EXPECT_EQ(forty->at("model.visual.blocks.26.attn.qkv.weight"), "vision_tower.blocks.26.attn.qkv.weight");
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
  EXPECT_EQ(extract_layer("mtp.layers.0.mlp.experts.down_proj"), 0u);
  EXPECT_EQ(extract_layer("layers..a"), std::nullopt);
  EXPECT_EQ(extract_layer("no layer here"), std::nullopt);
  EXPECT_EQ(extract_layer("layers.18446744073709551615.x"), UINT64_MAX);
  EXPECT_EQ(extract_layer("layers.18446744073709551616.x"), std::nullopt);
  EXPECT_EQ(extract_layer("layers.007.x"), 7u);
}

TEST(TensorNames, StripLayerPrefixAndNormKeys) {
  EXPECT_EQ(strip_layer_prefix("language_model.model.layers.3.self_attn.q_proj"), "self_attn.q_proj");
  EXPECT_EQ(strip_layer_prefix("language_model.model.layers.3"), "3");
  EXPECT_EQ(strip_layer_prefix("language_model.lm_head"), "lm_head");
  EXPECT_EQ(strip_layer_prefix("language_model.model.embed_tokens"), "model.embed_tokens");
  EXPECT_EQ(strip_layer_prefix("vision_tower.blocks.12.attn.qkv"), "attn.qkv");
  EXPECT_EQ(strip_layer_prefix("vision_tower.patch_embed.proj"), "patch_embed.proj");
  EXPECT_EQ(strip_layer_prefix("mtp.layers.0.mlp.gate"), "mlp.gate");
  EXPECT_EQ(strip_layer_prefix("mtp.fc"), "fc");
  EXPECT_EQ(strip_layer_prefix("other.name"), "other.name");

  for (const char* norm : {"language_model.model.layers.0.input_layernorm.weight",
                           "language_model.model.layers.0.post_attention_layernorm.weight",
                           "language_model.model.norm.weight", "language_model.model.layers.3.self_attn.q_norm.weight",
                           "mtp.layers.0.self_attn.k_norm.weight", "x.hnorm.weight", "x.enorm.weight",
                           "x.shared_head.norm.weight", "vision_tower.blocks.0.norm1.weight",
                           "vision_tower.blocks.0.norm2.weight", "mtp.layers.0.input_layernorm.weight"}) {
    EXPECT_TRUE(is_norm_key(norm)) << norm;
  }
  for (const char* other : {"language_model.model.layers.0.linear_attn.norm.weight", "mtp.norm.weight",
                            "mtp.pre_fc_norm_embedding.weight", "mtp.pre_fc_norm_hidden.weight",
                            "language_model.model.norm.bias", "language_model.model.layers.0.input_layernorm.scales"}) {
    EXPECT_FALSE(is_norm_key(other)) << other;
  }
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

TEST_F(SchemeFixture, ClassifiesExpertsVisionAndOthers) {
  const std::vector<std::size_t> stacked = {256, 1024, 2048};
  const WeightClass gate = bq4_->classify("model.language_model.layers.5.mlp.experts.gate_up_proj", stacked);
  EXPECT_EQ(gate.kind, WeightClass::Kind::Expert);
  EXPECT_EQ(gate.layer, 5u);
  EXPECT_EQ(gate.name, "language_model.model.layers.5.mlp.switch_mlp.gate_up_proj.weight");

  for (const QuantScheme* scheme : {static_cast<const QuantScheme*>(&*bq4_), static_cast<const QuantScheme*>(&*int4_)}) {
    EXPECT_EQ(scheme->classify("model.visual.blocks.3.attn.qkv.weight", std::vector<std::size_t>{6, 2}).kind,
              WeightClass::Kind::Skip);
    // Already-mapped vision names are dropped as well.
    EXPECT_EQ(scheme->classify("vision_tower.merger.norm.weight", std::vector<std::size_t>{4}).kind,
              WeightClass::Kind::Skip);
  }

  // Absent from the table: passes through, still an expert of layer 3.
  const WeightClass engine = bq4_->classify("model.language_model.layers.3.mlp.switch_mlp.down_proj.weight", stacked);
  EXPECT_EQ(engine.kind, WeightClass::Kind::Expert);
  EXPECT_EQ(engine.layer, 3u);
  EXPECT_EQ(engine.name, "model.language_model.layers.3.mlp.switch_mlp.down_proj.weight");

  const WeightClass mtp = bq4_->classify("mtp.layers.0.mlp.experts.down_proj", stacked);
  EXPECT_EQ(mtp.kind, WeightClass::Kind::Expert);
  EXPECT_EQ(mtp.layer, 0u);
  EXPECT_EQ(mtp.name, "mtp.layers.0.mlp.switch_mlp.down_proj.weight");

  // No layer number in the checkpoint name: not an expert.
  const WeightClass unnumbered = bq4_->classify("x.switch_mlp.up_proj.weight", std::vector<std::size_t>{2, 64});
  EXPECT_EQ(unnumbered.kind, WeightClass::Kind::NonExpert);
  EXPECT_EQ(unnumbered.dtype, DType::U32);

  const WeightClass norm = bq4_->classify("model.language_model.norm.weight", std::vector<std::size_t>{2048});
  EXPECT_EQ(norm, WeightClass::non_expert("language_model.model.norm.weight", DType::Bf16));
}

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
      {"model.language_model.layers.3.self_attn.o_proj.weight", {2048, 4096}, DType::Bf16, DType::U32},
      {"mtp.layers.0.self_attn.k_proj.weight", {512, 2048}, DType::Bf16, DType::U32},
      {"model.language_model.layers.0.linear_attn.in_proj_qkv.weight", {8192, 2048}, DType::U32, DType::U32},
      {"model.language_model.layers.0.linear_attn.conv1d.weight", {8192, 1, 4}, DType::Bf16, DType::Bf16},
      {"model.language_model.layers.0.linear_attn.dt_bias", {32}, DType::Bf16, DType::Bf16},
      {"model.language_model.layers.0.mlp.shared_expert_gate.weight", {1, 2048}, DType::U32, DType::U32},
      {"model.language_model.layers.0.input_layernorm.weight", {2048}, DType::Bf16, DType::Bf16},
      {"mtp.fc.weight", {2048, 4096}, DType::U32, DType::U32},
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
  EXPECT_EQ(bq4("vision_tower.pos_embed.weight", 2), DType::Bf16);
  EXPECT_EQ(bq4("vision_tower.merger.linear_fc1.weight", 2), DType::U32);
  EXPECT_EQ(int4_quant("vision_tower.patch_embed.proj.weight", 2), DType::U32);
  EXPECT_EQ(int4_quant("language_model.lm_head.weight", 3), DType::Bf16);
  EXPECT_EQ(bq4("language_model.lm_head.weight", 1), DType::Bf16);
  EXPECT_EQ(bq4("x.A_log", 0), DType::F32);
}

}  // namespace
}  // namespace varkel
