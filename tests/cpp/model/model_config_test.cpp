#include <gtest/gtest.h>

#include <cmath>

#include "model/config/json_text.h"
#include "model/config/model_config.h"
#include "common/test_files.h"

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

  // A byte order mark is not whitespace.
  write_file(dir / "config.json", "\xEF\xBB\xBF{\"a\": 1}");
  auto bom = load_model_config(dir.path());
  ASSERT_FALSE(bom.has_value());
  EXPECT_NE(bom.error().find("line 1, column 1"), std::string::npos) << bom.error();

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

TEST(JsonTextTest, WrittenFilesUseShortestFloatsInTheirOwnLayout) {
  // Shortest round-trip digits: plain up to 16 integer digits (with ".0"), plain down to
  // 0.0000x, otherwise d.ddde±x with the bare exponent.
  const std::pair<double, const char*> floats[] = {
      {1e-6, "1e-6"},       {1e-5, "0.00001"},        {0.25, "0.25"},       {1e7, "10000000.0"},
      {2.0, "2.0"},         {0.0, "0.0"},             {-0.0, "-0.0"},       {1e15, "1000000000000000.0"},
      {1e16, "1e16"},       {1.5e16, "1.5e16"},       {-1.25e-7, "-1.25e-7"}, {123.456, "123.456"},
      {0.1 + 0.2, "0.30000000000000004"}, {1e300, "1e300"}};
  for (const auto& [value, text] : floats) EXPECT_EQ(json_float_text(value), text) << text;

  const nlohmann::json doc = {{"b", {{"eps", 1e-6}, {"theta", 1e7}, {"ids", {1, -2}}, {"none", nlohmann::json::array()}}},
                              {"a", "x\"\n"}, {"c", nlohmann::json::object()}, {"d", NAN}};
  EXPECT_EQ(to_pretty_json(doc),
            "{\n  \"a\": \"x\\\"\\n\",\n  \"b\": {\n    \"eps\": 1e-6,\n    \"ids\": [\n      1,\n      -2\n    ],\n"
            "    \"none\": [],\n    \"theta\": 10000000.0\n  },\n  \"c\": {},\n  \"d\": null\n}");
}

}  // namespace
}  // namespace varkel
