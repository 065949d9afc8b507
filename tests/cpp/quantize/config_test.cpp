// Reading "config.json", the "Model config:" lines, the manifest's "config"
// object and the clean-up of tensor values.

#include <gtest/gtest.h>

#include <numeric>

#include <nlohmann/json.hpp>

#include "common/test_files.h"
#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/qwen35_moe/common/manifest_config.h"
#include "quantize/qwen35_moe/common/qwen35_moe_config.h"
#include "quantize/qwen35_moe/common/sanitize.h"

namespace varkel {
namespace {

using testing_support::ScratchDir;
using testing_support::write_file;

Qwen35MoeConfig parse(const char* text) { return config_from_json(nlohmann::json::parse(text)); }

TEST(LoadConfig, SectionsDefaultsAndKinds) {
  const Qwen35MoeConfig nested =
      parse(R"({"hidden_size": 7, "text_config": {"hidden_size": 2048, "num_experts": 256}, "vocab_size": 9})");
  EXPECT_EQ(nested.hidden_size, 2048u);
  EXPECT_EQ(nested.num_experts, 256u);
  EXPECT_EQ(nested.vocab_size, 0u);  // root keys are ignored once text_config exists
  EXPECT_EQ(nested.raw.at("vocab_size"), 9);

  const Qwen35MoeConfig defaults = parse("{}");
  EXPECT_EQ(defaults.full_attention_interval, 4u);
  EXPECT_EQ(defaults.linear_num_value_heads, 32u);
  EXPECT_EQ(defaults.linear_num_key_heads, 16u);
  EXPECT_EQ(defaults.linear_key_head_dim, 128u);
  EXPECT_EQ(defaults.linear_value_head_dim, 128u);
  EXPECT_EQ(defaults.linear_conv_kernel_dim, 4u);
  EXPECT_EQ(defaults.rms_norm_eps, 1e-6);
  EXPECT_EQ(defaults.partial_rotary_factor, 0.25);
  EXPECT_EQ(defaults.rope_theta, 1e7);
  EXPECT_EQ(defaults.num_hidden_layers, 0u);

  const Qwen35MoeConfig kinds = parse(
      R"({"hidden_size": 2048.0, "num_experts": -1, "head_dim": "256", "rms_norm_eps": 1, "vocab_size": 1e3,
          "full_attention_interval": null, "num_hidden_layers": 40})");
  EXPECT_EQ(kinds.hidden_size, 0u);
  EXPECT_EQ(kinds.num_experts, 0u);
  EXPECT_EQ(kinds.head_dim, 0u);
  EXPECT_EQ(kinds.vocab_size, 0u);
  EXPECT_EQ(kinds.full_attention_interval, 4u);
  EXPECT_EQ(kinds.rms_norm_eps, 1.0);
  EXPECT_EQ(kinds.num_hidden_layers, 40u);

  // A text_config of another kind still hides the root keys.
  EXPECT_EQ(parse(R"({"hidden_size": 5, "text_config": 3})").hidden_size, 0u);
  // A root that is not an object: all defaults.
  EXPECT_EQ(parse("[1, 2]").full_attention_interval, 4u);
}

TEST(LoadConfig, RopeParameters) {
  const Qwen35MoeConfig rope = parse(R"({"rope_parameters": {"rope_theta": 1000000, "partial_rotary_factor": 0.5}})");
  EXPECT_EQ(rope.rope_theta, 1e6);
  EXPECT_EQ(rope.partial_rotary_factor, 0.5);
  const Qwen35MoeConfig both =
      parse(R"({"rope_theta": 5.0, "rope_parameters": {"rope_theta": 1000000, "partial_rotary_factor": "x"}})");
  EXPECT_EQ(both.rope_theta, 5.0);
  EXPECT_EQ(both.partial_rotary_factor, 0.25);
  const Qwen35MoeConfig nested = parse(R"({"text_config": {"rope_parameters": {"rope_theta": 3}}, "rope_theta": 9})");
  EXPECT_EQ(nested.rope_theta, 3.0);
}

TEST(LoadConfig, FilesAndErrors) {
  ScratchDir dir;
  auto missing = load_config(dir.path());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");

  write_file(dir / "config.json", "{\"hidden_size\": ");
  auto malformed = load_config(dir.path());
  ASSERT_FALSE(malformed);
  EXPECT_NE(malformed.error().find("line 1"), std::string::npos) << malformed.error();

  write_file(dir / "config.json", R"({"text_config": {"hidden_size": 64}})");
  auto good = load_config(dir.path());
  ASSERT_TRUE(good) << good.error();
  EXPECT_EQ(good->hidden_size, 64u);

  // A failing construction prints nothing.
  ScratchDir empty;
  const auto [failed, printed] = testing_support::capture_stderr([&] { return BQ4Scheme::create(empty.path(), false); });
  EXPECT_FALSE(failed);
  EXPECT_EQ(printed, "");
}

TEST(SchemeConstruction, PrintsModelConfigLines) {
  ScratchDir dir;
  write_file(dir / "config.json",
             R"({"text_config": {"hidden_size": 2048, "vocab_size": 248320, "num_hidden_layers": 41,
                 "mtp_num_hidden_layers": 1, "num_experts": 256, "num_experts_per_tok": 8,
                 "moe_intermediate_size": 512, "shared_expert_intermediate_size": 512}})");
  auto [scheme, out] = testing_support::capture_stderr([&] { return BQ4Scheme::create(dir.path(), true); });
  ASSERT_TRUE(scheme) << scheme.error();
  EXPECT_EQ(out,
            "Model config:\n"
            "  hidden_dim=2048, vocab_size=248320\n"
            "  num_layers=41 (main=40, mtp=1)\n"
            "  num_experts=256, experts_per_tok=8\n"
            "  moe_intermediate=512, shared_intermediate=512\n"
            "  Name mapping entries: 5321\n");  // 113 * 41 + 24 * 27 + 40
  EXPECT_EQ(scheme->num_layers(), 41u);
  EXPECT_EQ(scheme->num_experts(), 256u);
  EXPECT_EQ(scheme->hidden_dim(), 2048u);
  EXPECT_TRUE(scheme->data().add_one_to_norms);
}

std::vector<std::string> layer_types(const nlohmann::json& object) {
  return object.at("layer_types").get<std::vector<std::string>>();
}

TEST(ManifestConfig, MembersAndLayerTypes) {
  Qwen35MoeConfig config = parse(R"({"hidden_size": 2048, "num_hidden_layers": 41, "mtp_num_hidden_layers": 1,
                                     "num_experts_per_tok": 8, "head_dim": 256, "rms_norm_eps": 1e-6})");
  nlohmann::json object = {{"hidden_size", "stale"}, {"extra", true}};
  ASSERT_TRUE(write_manifest_config_common(config, 41, 256, object));
  EXPECT_EQ(object.at("hidden_size"), 2048);
  EXPECT_EQ(object.at("num_hidden_layers"), 41);
  EXPECT_EQ(object.at("num_experts"), 256);
  EXPECT_EQ(object.at("num_experts_per_tok"), 8);
  EXPECT_EQ(object.at("mtp_num_hidden_layers"), 1);
  EXPECT_EQ(object.at("linear_num_value_heads"), 32);  // defaults are stated
  EXPECT_EQ(object.at("rope_theta").get<double>(), 1e7);
  EXPECT_EQ(object.at("rms_norm_eps").get<double>(), 1e-6);
  EXPECT_TRUE(object.at("extra"));
  EXPECT_EQ(object.size(), 22u);
  const auto types = layer_types(object);
  ASSERT_EQ(types.size(), 40u);
  for (std::size_t i = 0; i < types.size(); ++i) {
    EXPECT_EQ(types[i], i % 4 == 3 ? "full_attention" : "linear_attention") << i;
  }

  // Fewer layers than the checkpoint: no MTP, and the list stops there.
  nlohmann::json fewer = nlohmann::json::object();
  ASSERT_TRUE(write_manifest_config_common(config, 6, 4, fewer));
  EXPECT_EQ(fewer.at("mtp_num_hidden_layers"), 0);
  EXPECT_EQ(layer_types(fewer).size(), 6u);

  config.full_attention_interval = 1;
  nlohmann::json every = nlohmann::json::object();
  ASSERT_TRUE(write_manifest_config_common(config, 41, 4, every));
  for (const std::string& type : layer_types(every)) EXPECT_EQ(type, "full_attention");

  config.full_attention_interval = 0;
  nlohmann::json zero = nlohmann::json::object();
  auto failed = write_manifest_config_common(config, 41, 4, zero);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), "attempt to calculate the remainder with a divisor of zero");
  config.num_hidden_layers = 0;
  ASSERT_TRUE(write_manifest_config_common(config, 0, 4, zero));
  EXPECT_TRUE(zero.at("layer_types").empty());

  // More MTP layers than layers: no main layers.
  config = parse(R"({"num_hidden_layers": 2, "mtp_num_hidden_layers": 5})");
  nlohmann::json odd = nlohmann::json::object();
  ASSERT_TRUE(write_manifest_config_common(config, 2, 4, odd));
  EXPECT_TRUE(odd.at("layer_types").empty());
}

TEST(Sanitize, NormsGetOneAddedOnlyWhenAsked) {
  std::vector<std::size_t> shape = {4};
  std::vector<float> zeros(4, 0.0f);
  ASSERT_TRUE(sanitize_tensor("language_model.model.norm.weight", true, zeros, shape));
  EXPECT_EQ(zeros, std::vector<float>(4, 1.0f));

  std::vector<float> gated = {0.5f, -0.5f};
  ASSERT_TRUE(sanitize_tensor("language_model.model.layers.0.linear_attn.norm.weight", true, gated, shape));
  EXPECT_EQ(gated, (std::vector<float>{0.5f, -0.5f}));

  std::vector<float> unflagged = {0.25f};
  ASSERT_TRUE(sanitize_tensor("language_model.model.norm.weight", false, unflagged, shape));
  EXPECT_EQ(unflagged, std::vector<float>{0.25f});
  EXPECT_EQ(shape, std::vector<std::size_t>{4});
}

TEST(Sanitize, ConvolutionWeightsSwapTheLastAxes) {
  std::vector<float> values(24);
  std::iota(values.begin(), values.end(), 0.0f);
  std::vector<std::size_t> shape = {2, 3, 4};
  ASSERT_TRUE(sanitize_tensor("language_model.model.layers.0.linear_attn.conv1d.weight", false, values, shape));
  EXPECT_EQ(shape, (std::vector<std::size_t>{2, 4, 3}));
  const std::vector<float> expected = {0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, 12, 16, 20, 13, 17, 21, 14, 18, 22, 15, 19, 23};
  EXPECT_EQ(values, expected);

  std::vector<float> taps = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<std::size_t> unit = {2, 1, 4};
  ASSERT_TRUE(sanitize_tensor("x.conv1d.weight", false, taps, unit));
  EXPECT_EQ(unit, (std::vector<std::size_t>{2, 4, 1}));
  EXPECT_EQ(taps, (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8}));

  std::vector<float> flat = {1, 2, 3, 4};
  std::vector<std::size_t> two_d = {2, 2};
  ASSERT_TRUE(sanitize_tensor("x.conv1d.weight", false, flat, two_d));
  EXPECT_EQ(two_d, (std::vector<std::size_t>{2, 2}));
  EXPECT_EQ(flat, (std::vector<float>{1, 2, 3, 4}));

  // A header that promises more values than the data holds stops the conversion.
  std::vector<float> short_values(23, 1.0f);
  std::vector<std::size_t> claimed = {2, 3, 4};
  auto failed = sanitize_tensor("layers.0.linear_attn.conv1d.weight", false, short_values, claimed);
  ASSERT_FALSE(failed);
  EXPECT_NE(failed.error().find("layers.0.linear_attn.conv1d.weight"), std::string::npos) << failed.error();
  EXPECT_EQ(claimed, (std::vector<std::size_t>{2, 3, 4}));
  std::vector<std::size_t> overflowing = {SIZE_MAX, 2, 2};
  EXPECT_FALSE(moveaxis_2_to_1("t", short_values, overflowing));
}

}  // namespace
}  // namespace varkel
