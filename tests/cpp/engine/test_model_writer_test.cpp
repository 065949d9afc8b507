// The synthetic model writer the engine, forward and Python tests stand on:
// what it writes must load and decode back to the values it generated.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "engine_test_util.h"
#include "support/test_values.h"

namespace varkel {
namespace {

float widen(uint16_t pattern) { return std::bit_cast<float>(static_cast<uint32_t>(pattern) << 16); }

TEST(TestModelWriter, WrittenModelLoadsWithConverterTypesAndDecodesToItsValues) {
  auto options = engine_test::small_stripped_options();
  options.experts = 2;
  options.dtype_overrides["language_model.model.layers.0.linear_attn.in_proj_a.weight"] = DType::Fp8E4m3;
  options.omit = [](const std::string& name) { return name == "language_model.model.layers.1.linear_attn.norm.weight"; };
  auto model = engine_test::write_and_load("writer", options);
  ASSERT_NE(model, nullptr);
  const WeightFile& weights = model->weights();

  struct Expect {
    std::string name;
    std::string dtype;
    std::vector<uint64_t> shape;
  };
  for (const Expect& e : std::vector<Expect>{
           {"language_model.model.embed_tokens.weight", "u32", {16, 256}},
           {"language_model.model.embed_tokens.biases", "bf16", {16, 32}},
           {"language_model.lm_head.weight", "u8", {16, 2048}},
           {"language_model.lm_head.scales", "f32", {16}},
           {"language_model.model.norm.weight", "bf16", {2048}},
           {"language_model.model.layers.3.self_attn.q_proj.weight", "bf16", {8192 * 2048}},
           {"language_model.model.layers.3.self_attn.q_norm.weight", "bf16", {256}},
           {"language_model.model.layers.0.linear_attn.in_proj_qkv.weight", "u32", {8192, 256}},
           {"language_model.model.layers.0.linear_attn.in_proj_a.weight", "fp8_e4m3", {32, 2048}},
           {"language_model.model.layers.0.linear_attn.A_log", "f32", {32}},
           {"language_model.model.layers.0.linear_attn.dt_bias", "bf16", {32}},
           {"language_model.model.layers.0.linear_attn.conv1d.weight", "bf16", {32768}},
           {"language_model.model.layers.2.mlp.gate.weight", "bf16", {2 * 2048}},
           {"language_model.model.layers.2.mlp.shared_expert_gate.weight", "u32", {1, 256}},
           {"language_model.model.layers.2.mlp.shared_expert.down_proj.scales", "bf16", {2048, 8}}}) {
    const TensorInfo* info = weights.find(e.name);
    ASSERT_NE(info, nullptr) << e.name;
    EXPECT_EQ(info->dtype, e.dtype) << e.name;
    EXPECT_EQ(info->shape, e.shape) << e.name;
  }
  EXPECT_EQ(weights.find("language_model.model.layers.1.linear_attn.norm.weight"), nullptr);
  EXPECT_NE(weights.find("language_model.model.layers.0.linear_attn.norm.weight"), nullptr);
  EXPECT_EQ(weights.find("language_model.model.layers.3.linear_attn.A_log"), nullptr);

  // bf16 norm weights: exactly the rounded generated values.
  const TensorInfo* norm = weights.find("language_model.model.norm.weight");
  std::vector<float> values(2048);
  test_support::tensor_values(options.seed, norm->name, 0, 1, 2048, values);
  for (std::size_t i = 0; i < 2048; i += 97) {
    uint16_t pattern;
    std::memcpy(&pattern, weights.data() + norm->offset + 2 * i, 2);
    EXPECT_NEAR(widen(pattern), values[i], 0.01f);
    EXPECT_NEAR(values[i], 1.0f, 0.1f);
  }

  // The 8-bit head: row 5 decodes to the generated row within half a step.
  const TensorInfo* head = weights.find("language_model.lm_head.weight");
  float scale;
  std::memcpy(&scale, weights.data() + weights.find("language_model.lm_head.scales")->offset + 5 * 4, 4);
  test_support::tensor_values(options.seed, "language_model.lm_head.weight", 5, 1, 2048, values);
  for (std::size_t c = 0; c < 2048; ++c) {
    const auto code = static_cast<int8_t>(weights.data()[head->offset + 5 * 2048 + c]);
    EXPECT_NEAR(code * scale, values[c], scale * 0.5f + 1e-7f);
  }

  // Expert 1 of layer 2: the up projection's row 7 decodes from the record.
  ASSERT_EQ(model->experts().size(), 4u);
  std::vector<uint8_t> record(test_support::kExpertRecordSize);
  ASSERT_TRUE(model->experts()[2].read_expert(1, record));
  const auto up = test_support::expert_projection_values(options.seed, 2, 1, 1);
  for (std::size_t c = 0; c < 2048; ++c) {
    uint32_t word;
    std::memcpy(&word, record.data() + 589824 + (7 * 256 + c / 8) * 4, 4);
    uint16_t s, b;
    std::memcpy(&s, record.data() + 1114112 + (7 * 32 + c / 64) * 2, 2);
    std::memcpy(&b, record.data() + 1146880 + (7 * 32 + c / 64) * 2, 2);
    const float decoded = static_cast<float>((word >> (4 * (c % 8))) & 15) * widen(s) + widen(b);
    EXPECT_NEAR(decoded, up[7 * 2048 + c], std::abs(widen(s)) * 0.51f + 1e-3f);
  }
  // Expert records are distinct.
  std::vector<uint8_t> other(test_support::kExpertRecordSize);
  ASSERT_TRUE(model->experts()[2].read_expert(0, other));
  EXPECT_NE(record, other);
}

}  // namespace
}  // namespace varkel
