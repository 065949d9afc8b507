#include <gtest/gtest.h>

#include "model/config/model_config.h"
#include "model/scratch_dir.h"

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
    "vision_config": {"a.b": 7, "depth": 3}
  })");
  EXPECT_EQ(config.get_usize("hidden_size"), 2048u);  // top level wins over text_config
  EXPECT_EQ(config.get_usize("num_experts"), 256u);
  EXPECT_EQ(config.get_usize("text_config.hidden_size"), 1024u);
  // One dot splits once: "vision_config.a.b" is member "a.b" of vision_config.
  EXPECT_EQ(config.get_usize("vision_config.a.b"), 7u);
  EXPECT_EQ(config.get_usize("vision_config.depth"), 3u);
  // The prefix goes through resolve, so it may itself live in text_config.
  EXPECT_EQ(config.get_usize("inner.x"), 5u);
  EXPECT_EQ(config.get_usize("text_config.inner.x"), std::nullopt);
  EXPECT_EQ(config.get_usize("hidden_size.x"), std::nullopt);  // prefix not an object
  EXPECT_EQ(config.get_usize("missing"), std::nullopt);
  ASSERT_NE(config.resolve("vision_config"), nullptr);
  EXPECT_TRUE(config.resolve("vision_config")->is_object());
  EXPECT_EQ(config.resolve("nope"), nullptr);
}

TEST(ModelConfigTest, OnlyPlainNonNegativeIntegersCount) {
  ScratchDir dir;
  const ModelConfig config = load_text(dir, R"({
    "float": 2048.0, "exponent": 2e3, "string": "2048", "negative": -1, "minus_zero": -0,
    "too_big": 18446744073709551616, "largest": 18446744073709551615, "zero": 0,
    "bool": true, "null": null, "array": [1], "object": {}
  })");
  for (const char* key : {"float", "exponent", "string", "negative", "minus_zero", "too_big", "bool", "null", "array",
                          "object"}) {
    EXPECT_EQ(config.get_usize(key), std::nullopt) << key;
  }
  EXPECT_EQ(config.get_usize("largest"), UINT64_MAX);
  EXPECT_EQ(config.get_usize("zero"), 0u);
}

TEST(ModelConfigTest, TextConfigThatIsNotAnObjectCountsAsAbsent) {
  ScratchDir dir;
  EXPECT_EQ(load_text(dir, R"({"text_config": [{"hidden_size": 1}]})").get_usize("hidden_size"), std::nullopt);
  EXPECT_EQ(load_text(dir, R"({"text_config": "hidden_size"})").resolve("hidden_size"), nullptr);
}

TEST(ModelConfigTest, NonObjectRootsGiveAnEmptyConfiguration) {
  ScratchDir dir;
  for (const char* text : {"[1, 2]", "\"text\"", "null", "  42  "}) {
    const ModelConfig config = load_text(dir, text);
    EXPECT_TRUE(config.root().is_object()) << text;
    EXPECT_TRUE(config.root().empty()) << text;
    EXPECT_EQ(config.resolve("hidden_size"), nullptr);
  }
}

TEST(ModelConfigTest, MembersAreSortedAndTheLastDuplicateWins) {
  ScratchDir dir;
  const ModelConfig config = load_text(dir, R"({"b": 1, "a": 2, "B": 3, "hidden_size": 1, "hidden_size": 2})");
  EXPECT_EQ(config.get_usize("hidden_size"), 2u);
  std::vector<std::string> names;
  for (const auto& item : config.root().items()) names.push_back(item.key());
  EXPECT_EQ(names, (std::vector<std::string>{"B", "a", "b", "hidden_size"}));
}

TEST(ModelConfigTest, LoadFailuresCarryTheIoOrParserText) {
  ScratchDir dir;
  auto missing = load_model_config(dir.path());
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");

  write_file(dir / "config.json", "{\"a\": 1}\n  x");
  auto trailing = load_model_config(dir.path());
  ASSERT_FALSE(trailing.has_value());
  EXPECT_NE(trailing.error().find("line 2, column 3"), std::string::npos) << trailing.error();

  write_file(dir / "config.json", "{\"a\": \"\xff\"}");
  auto not_utf8 = load_model_config(dir.path());
  ASSERT_FALSE(not_utf8.has_value());
  EXPECT_EQ(not_utf8.error(), "stream did not contain valid UTF-8");

  // A directory named config.json cannot be read as text.
  ScratchDir other;
  std::filesystem::create_directory(other / "config.json");
  auto is_dir = load_model_config(other.path());
  ASSERT_FALSE(is_dir.has_value());
  EXPECT_EQ(is_dir.error(), "Is a directory (os error 21)");
}

}  // namespace
}  // namespace varkel
