#include <sys/stat.h>

#include <gtest/gtest.h>

#include "model/expert_fixture.h"
#include "model/model.h"

namespace varkel {
namespace {

using namespace testing_support;

std::pair<Result<Model>, std::string> load(const std::filesystem::path& path) {
  return capture_stderr([&] { return Model::load(path.string()); });
}

std::string error_text(const std::filesystem::path& path) {
  const auto loaded = load(path);
  EXPECT_FALSE(loaded.first.has_value());
  return loaded.first ? std::string() : loaded.first.error().to_string();
}

TEST(ModelLoadTest, MixesLz4AndRawLayers) {
  ScratchDir dir;
  write_small_model(dir, 7);
  write_lz4_layer(dir, 5);
  write_file(dir / "packed_experts" / layer_file_name(5), "garbage");  // unused beside the LZ4 file
  const auto [loaded, log] = load(dir.path());
  ASSERT_TRUE(loaded.has_value()) << loaded.error().to_string();
  EXPECT_EQ(log, "[weights] mmap'd 0.00 GB from " + (dir / "model_weights.bin").string() +
                     " (0 tensors)\n[model] 7 layers hidden=64 experts=8 lz4_layers=1\n");
  ASSERT_EQ(loaded->experts().size(), 7u);
  std::vector<uint8_t> dst(kSmallExpertSize);
  for (size_t layer = 0; layer < 7; ++layer) {
    const ExpertFile& file = loaded->experts()[layer];
    EXPECT_EQ(file.kind(), layer == 5 ? ExpertFile::Kind::Lz4 : ExpertFile::Kind::Raw) << layer;
    ASSERT_TRUE(file.read_expert(7, dst).has_value()) << layer;
    EXPECT_EQ(dst, expert_record(layer, 7)) << layer;
  }
}

TEST(ModelLoadTest, FailureMessages) {
  ScratchDir dir;
  EXPECT_EQ(error_text(dir / "absent"), "Config error: not found: " + (dir / "absent").string());
  // "<dir>\0x" must not reach the OS, which would read "<dir>".
  const std::string nul_name = dir.path().string() + std::string(1, '\0') + "x";
  EXPECT_EQ(error_text(nul_name), "Config error: not found: " + nul_name);
  EXPECT_EQ(error_text(dir.path()), "Config error: config: No such file or directory (os error 2)");

  write_small_model(dir, 4);
  write_file(dir / "config.json", R"({"hidden_size": 64, "num_hidden_layers": 1})");
  EXPECT_EQ(error_text(dir.path()), "Config error: missing config key 'moe_intermediate_size'");
  write_small_model(dir, 4);
  write_file(dir / "model_weights.json", "[]");
  EXPECT_EQ(error_text(dir.path()), "Config error: weights: Config error: No 'tensors' key in manifest");

  write_small_model(dir, 4);
  std::filesystem::remove(dir / "packed_experts" / layer_file_name(2));
  const size_t before = open_descriptor_count();
  EXPECT_EQ(error_text(dir.path()), "I/O error: expert 2: No such file or directory (os error 2)");
  EXPECT_EQ(open_descriptor_count(), before);
  write_raw_layer(dir, 2);
  write_file(dir / "packed_experts_lz4" / layer_file_name(3), "xyz");  // no fallback to the raw file
  EXPECT_EQ(error_text(dir.path()), "I/O error: lz4 hdr 3: failed to fill whole buffer");
  EXPECT_EQ(open_descriptor_count(), before);
}

// A FIFO would block the load forever and /dev/zero would be read until memory runs out.
TEST(ModelLoadTest, RefusesFilesThatAreNotRegular) {
  using Make = void (*)(const std::filesystem::path&);
  const std::pair<Make, std::string> kinds[] = {
      {[](const auto& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, "a FIFO"},
      {[](const auto& p) { std::filesystem::create_symlink("/dev/zero", p); }, "a character device"},
      {[](const auto& p) { std::filesystem::create_directory(p); }, "a directory"},
  };
  const std::pair<std::string, std::string> files[] = {
      {"config.json", "Config error: config: "},
      {"model_weights.bin", "Config error: weights: I/O error: Cannot open {}: "},
      {"model_weights.json", "Config error: weights: I/O error: Cannot read {}: "},
      {"packed_experts/layer_01.bin", "I/O error: expert 1: "},
      {"packed_experts_lz4/layer_01.bin", "I/O error: lz4 expert 1: "},
  };
  for (const auto& [file, prefix] : files) {
    for (const auto& [make, kind] : kinds) {
      ScratchDir dir;
      write_small_model(dir, 2);
      const auto path = dir / file;
      std::filesystem::create_directories(path.parent_path());
      std::filesystem::remove(path);
      make(path);
      EXPECT_EQ(error_text(dir.path()), fmt::format(fmt::runtime(prefix), path.string()) + path.string() + " is " +
                                            kind + ", not a regular file");
    }
  }
  ScratchDir dir;  // a symlink to a regular file is fine
  write_small_model(dir, 2);
  std::filesystem::rename(dir / "config.json", dir / "real.json");
  std::filesystem::create_symlink(dir / "real.json", dir / "config.json");
  EXPECT_TRUE(load(dir.path()).first.has_value());
}

}  // namespace
}  // namespace varkel
