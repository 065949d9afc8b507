#include <gtest/gtest.h>

#include "common/test_files.h"
#include "model/config/model_config.h"

namespace varkel {
namespace {

using testing_support::ScratchDir;
using testing_support::write_file;

ModelConfig load_text(const ScratchDir& dir, std::string_view text) {
  write_file(dir / "config.json", text);
  auto config = load_model_config(dir.path());
  EXPECT_TRUE(config.has_value()) << config.error();
  return config ? std::move(*config) : ModelConfig();
}

TEST(ModelConfigTest, LooksAtTheTopLevelFirstThenInsideTextConfig) {
  ScratchDir dir;
  const ModelConfig config = load_text(dir, R"({
    "hidden_size": 2048,
    "text_config": {"hidden_size": 1024, "num_experts": 256, "inner": {"x": 5}},
    "vision_config": {"a.b": 7}
  })");
  EXPECT_EQ(config.get_usize("hidden_size"), 2048u);
  EXPECT_EQ(config.get_usize("num_experts"), 256u);
  EXPECT_EQ(config.get_usize("text_config.hidden_size"), 1024u);
  EXPECT_EQ(config.get_usize("vision_config.a.b"), 7u);  // one dot splits once
  EXPECT_EQ(config.get_usize("inner.x"), 5u);  // the prefix resolves through text_config
  EXPECT_EQ(config.get_usize("hidden_size.x"), std::nullopt);
  EXPECT_EQ(config.get_usize("missing"), std::nullopt);
  EXPECT_EQ(config.resolve("nope"), nullptr);
  // A text_config that is not an object counts as absent.
  EXPECT_EQ(load_text(dir, R"({"text_config": [{"hidden_size": 1}]})").get_usize("hidden_size"), std::nullopt);
}

TEST(ModelConfigTest, OnlyPlainNonNegativeIntegersCount) {
  ScratchDir dir;
  const ModelConfig config = load_text(dir, R"({
    "float": 2048.0, "exponent": 2e3, "string": "2048", "negative": -1, "minus_zero": -0,
    "too_big": 18446744073709551616, "largest": 18446744073709551615, "zero": 0, "bool": true
  })");
  for (const char* key : {"float", "exponent", "string", "negative", "minus_zero", "too_big", "bool"}) {
    EXPECT_EQ(config.get_usize(key), std::nullopt) << key;
  }
  EXPECT_EQ(config.get_usize("largest"), UINT64_MAX);
  EXPECT_EQ(config.get_usize("zero"), 0u);
}

}  // namespace
}  // namespace varkel
