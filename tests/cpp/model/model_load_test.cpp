#include <gtest/gtest.h>

#include "model/expert_fixture.h"
#include "model/model.h"

namespace varkel {
namespace {

using namespace testing_support;

// The model (or error) and the standard error of loading it.
std::pair<Result<Model>, std::string> load(const std::filesystem::path& path) {
  return capture_stderr([&] { return Model::load(path.string()); });
}

std::string error_text(const std::pair<Result<Model>, std::string>& loaded) {
  EXPECT_FALSE(loaded.first.has_value());
  return loaded.first ? std::string() : loaded.first.error().to_string();
}

TEST(ModelLoadTest, MixesLz4AndRawLayers) {
  ScratchDir dir;
  write_small_model(dir, 7);
  write_lz4_layer(dir, 5);
  // A raw file for layer 5 stays unused; make it wrong to be sure.
  write_file(dir / "packed_experts" / layer_file_name(5), "garbage");
  write_file(dir / "model_weights.bin", std::string(128, '\0'));
  write_file(dir / "model_weights.json", R"({"tensors": {"norm.weight": {"dtype": "f32", "offset": 64, "shape": [16], "size": 64}}})");

  const auto [loaded, log] = load(dir.path());
  ASSERT_TRUE(loaded.has_value()) << loaded.error().to_string();
  EXPECT_EQ(log, "[weights] mmap'd 0.00 GB from " + (dir / "model_weights.bin").string() +
                                    " (1 tensors)\n[model] 7 layers hidden=64 experts=8 lz4_layers=1\n");
  const Model& model = *loaded;
  EXPECT_EQ(model.config().get_usize("hidden_size"), 64u);
  ASSERT_NE(model.weights().find("norm.weight"), nullptr);
  ASSERT_EQ(model.experts().size(), 7u);
  std::vector<uint8_t> dst(kSmallExpertSize);
  for (size_t layer = 0; layer < 7; ++layer) {
    const ExpertFile& file = model.experts()[layer];
    EXPECT_EQ(file.kind(), layer == 5 ? ExpertFile::Kind::Lz4 : ExpertFile::Kind::Raw) << layer;
    EXPECT_EQ(file.expert_size(), kSmallExpertSize);
    for (size_t e : {size_t{0}, size_t{7}}) {
      ASSERT_TRUE(file.read_expert(e, dst).has_value()) << layer << " " << e;
      EXPECT_EQ(dst, expert_record(layer, e)) << layer << " " << e;
    }
  }
}

TEST(ModelLoadTest, LayerNamesPadToTwoDigitsAndZeroLayersLoad) {
  ScratchDir dir;
  write_file(dir / "config.json", small_config(101, false));
  write_file(dir / "model_weights.bin", "");
  write_file(dir / "model_weights.json", R"({"tensors": {}})");
  // The raw files' lengths are not checked at load: empty files will do.
  for (size_t layer = 0; layer <= 100; ++layer) write_file(dir / "packed_experts" / layer_file_name(layer), "");
  ASSERT_TRUE(std::filesystem::exists(dir / "packed_experts" / "layer_100.bin"));
  ASSERT_TRUE(std::filesystem::exists(dir / "packed_experts" / "layer_07.bin"));
  const auto [hundred, hundred_log] = load(dir.path());
  ASSERT_TRUE(hundred.has_value()) << hundred.error().to_string();
  EXPECT_EQ(hundred->experts().size(), 101u);
  // "num_experts" is absent: the line shows 0.
  EXPECT_NE(hundred_log.find("[model] 101 layers hidden=64 experts=0 lz4_layers=0\n"), std::string::npos);

  ScratchDir none;
  write_small_model(none, 0);
  const auto [empty, empty_log] = load(none.path());
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->experts().empty());
  EXPECT_NE(empty_log.find("[model] 0 layers hidden=64 experts=8 lz4_layers=0\n"), std::string::npos);
}

TEST(ModelLoadTest, DirectoryConfigAndWeightFailures) {
  ScratchDir dir;
  EXPECT_EQ(error_text(load(dir / "absent")), "Config error: not found: " + (dir / "absent").string());
  // The OS would read "<dir>" for "<dir>\0x": such a name is not found, whatever exists.
  const std::string nul_name = dir.path().string() + std::string(1, '\0') + "x";
  EXPECT_EQ(error_text(load(nul_name)), "Config error: not found: " + nul_name);
  EXPECT_EQ(error_text(load(dir.path())), "Config error: config: No such file or directory (os error 2)");

  write_file(dir / "config.json", "{");
  const std::string parse = error_text(load(dir.path()));
  EXPECT_EQ(parse.rfind("Config error: config: ", 0), 0u) << parse;
  EXPECT_NE(parse.find("line 1"), std::string::npos) << parse;

  write_file(dir / "config.json", small_config(2));
  EXPECT_EQ(error_text(load(dir.path())), "Config error: weights: I/O error: Cannot open " +
                                              (dir / "model_weights.bin").string() +
                                              ": No such file or directory (os error 2)");
  write_file(dir / "model_weights.bin", "");
  write_file(dir / "model_weights.json", "[]");
  EXPECT_EQ(error_text(load(dir.path())), "Config error: weights: Config error: No 'tensors' key in manifest");
}

TEST(ModelLoadTest, RequiredKeysAreReadInOrder) {
  ScratchDir dir;
  write_small_model(dir, 1);
  write_file(dir / "config.json", R"({"num_hidden_layers": 1})");
  EXPECT_EQ(error_text(load(dir.path())), "Config error: missing config key 'hidden_size'");
  write_file(dir / "config.json", R"({"hidden_size": 64, "num_hidden_layers": 1})");
  EXPECT_EQ(error_text(load(dir.path())), "Config error: missing config key 'moe_intermediate_size'");
  write_file(dir / "config.json", R"({"hidden_size": 64, "moe_intermediate_size": 64, "num_hidden_layers": -1})");
  EXPECT_EQ(error_text(load(dir.path())), "Config error: missing config key 'num_hidden_layers'");

  // An LZ4 layer needs "num_experts"; raw layers do not.
  write_file(dir / "config.json", small_config(1, false));
  ASSERT_TRUE(load(dir.path()).first.has_value());
  write_lz4_layer(dir, 0);
  EXPECT_EQ(error_text(load(dir.path())), "Config error: missing config key 'num_experts'");
}

TEST(ModelLoadTest, ExpertFileFailuresCloseEverythingOpened) {
  ScratchDir dir;
  write_small_model(dir, 4);
  std::filesystem::remove(dir / "packed_experts" / layer_file_name(2));
  const size_t before = open_descriptor_count();
  const auto missing = load(dir.path());
  ASSERT_FALSE(missing.first.has_value());
  ASSERT_NE(missing.first.error().io_error(), nullptr);
  EXPECT_EQ(missing.first.error().io_error()->kind(), IoErrorKind::Other);
  EXPECT_EQ(error_text(missing), "I/O error: expert 2: No such file or directory (os error 2)");
  EXPECT_EQ(open_descriptor_count(), before);

  // An LZ4 file that exists but is broken does not fall back to the raw file.
  write_raw_layer(dir, 2);
  write_file(dir / "packed_experts_lz4" / layer_file_name(3), "xyz");
  EXPECT_EQ(error_text(load(dir.path())), "I/O error: lz4 hdr 3: failed to fill whole buffer");
  std::string wrong_count;
  append_u32(wrong_count, 255);
  write_file(dir / "packed_experts_lz4" / layer_file_name(3), wrong_count);
  EXPECT_EQ(error_text(load(dir.path())),
            "I/O error: lz4 expert 3: header says 255 experts, config says 8 \xE2\x80\x94 file may be corrupted");
  // An LZ4 path that cannot be opened as a file.
  std::filesystem::remove(dir / "packed_experts_lz4" / layer_file_name(3));
  std::filesystem::create_directory(dir / "packed_experts_lz4" / layer_file_name(3));
  const std::string unreadable = error_text(load(dir.path()));
  EXPECT_EQ(unreadable.rfind("I/O error: lz4 ", 0), 0u) << unreadable;
  EXPECT_EQ(open_descriptor_count(), before);

  // Loaded models hold one descriptor per layer until released.
  std::filesystem::remove(dir / "packed_experts_lz4" / layer_file_name(3));
  {
    auto shared = Model::load_shared(dir.path().string());
    ASSERT_TRUE(shared.has_value());
    EXPECT_EQ(open_descriptor_count(), before + 4);
  }
  EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
}  // namespace varkel
