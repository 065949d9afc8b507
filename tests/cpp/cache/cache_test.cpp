#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <map>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "cache/cache.h"
#include "model/config/json_text.h"
#include "common/test_files.h"

namespace varkel {
namespace {

using namespace testing_support;

// kv_dim 2, conv_dim 1·1·2 + 2·1 = 4, recurrent state 1·1·2 = 2.
ModelConfig small_config(size_t layers) {
  // Unsigned literals: only unsigned JSON numbers count, as the parser makes them.
  return ModelConfig(nlohmann::json{{"num_hidden_layers", layers}, {"num_key_value_heads", 1u}, {"head_dim", 2u},
                                    {"linear_num_value_heads", 1u}, {"linear_num_key_heads", 1u},
                                    {"linear_key_head_dim", 1u}, {"linear_value_head_dim", 2u}});
}

Cache small_cache(size_t layers) {
  auto cache = Cache::create(small_config(layers));
  EXPECT_TRUE(cache.has_value()) << cache.error().to_string();
  return cache ? std::move(*cache) : Cache();
}

// Distinct values everywhere, so misplaced bytes show.
void fill(Cache& cache) {
  float next = 1.0f;
  for (State& state : cache.layers) {
    if (auto* full = std::get_if<FullState>(&state)) {
      for (float& x : full->k_cache) x = next += 0.25f;
      for (float& x : full->v_cache) x = -(next += 0.25f);
      full->len = 17;
    } else {
      auto& linear = std::get<LinearState>(state);
      for (float& x : linear.conv_state) x = next += 0.5f;
      for (float& x : linear.ssm_state) x = next * 3.0f + 0.125f;
    }
  }
  cache.pos = 4095;
}

void put_f32s(std::string& out, const std::vector<float>& values) {
  for (float v : values) append_u32(out, std::bit_cast<uint32_t>(v));
}

TEST(CacheTest, CreateFollowsTheLayerPatternWithZeroedState) {
  const Cache cache = small_cache(8);
  ASSERT_EQ(cache.layers.size(), 8u);
  EXPECT_EQ(cache.pos, 0u);
  for (size_t i = 0; i < 8; ++i) {
    const bool full = i == 3 || i == 7;
    ASSERT_EQ(cache.layers[i].index(), full ? 0u : 1u) << i;
    if (full) {
      const auto& s = std::get<FullState>(cache.layers[i]);
      EXPECT_EQ(s.k_cache, std::vector<float>(4096 * 2, 0.0f));
      EXPECT_EQ(s.v_cache.size(), 4096u * 2);
      EXPECT_EQ(s.len, 0u);
    } else {
      const auto& s = std::get<LinearState>(cache.layers[i]);
      EXPECT_EQ(s.conv_state, std::vector<float>(12, 0.0f));
      EXPECT_EQ(s.ssm_state, std::vector<float>(2, 0.0f));
      EXPECT_EQ(s.gpu_buffer, nullptr);
    }
  }
  // The full model's sizes: conv 3·8192, recurrent 128·32·128, key rows 4096·512.
  const ModelConfig full_model(nlohmann::json{{"text_config",
                                               {{"num_hidden_layers", 4u}, {"num_key_value_heads", 2u}, {"head_dim", 256u},
                                                {"linear_num_value_heads", 32u}, {"linear_num_key_heads", 16u},
                                                {"linear_key_head_dim", 128u}, {"linear_value_head_dim", 128u}}}});
  auto big = Cache::create(full_model);
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(std::get<LinearState>(big->layers[0]).conv_state.size(), 24576u);
  EXPECT_EQ(std::get<LinearState>(big->layers[0]).ssm_state.size(), 524288u);
  EXPECT_EQ(std::get<FullState>(big->layers[3]).k_cache.size(), 2097152u);
}

TEST(CacheTest, CreateRequiresEveryKeyAndNonZeroLinearHeads) {
  // Each key absent (null; even with no layers), and the linear head counts zero: the error names the key.
  const std::pair<const char*, nlohmann::json> cases[] = {
      {"num_hidden_layers", nullptr},    {"num_key_value_heads", nullptr},  {"head_dim", nullptr},
      {"linear_num_value_heads", nullptr}, {"linear_num_key_heads", nullptr}, {"linear_key_head_dim", nullptr},
      {"linear_value_head_dim", nullptr},  {"linear_num_key_heads", 0u},      {"linear_num_value_heads", 0u}};
  for (const auto& [key, value] : cases) {
    nlohmann::json root = small_config(value.is_null() ? 0 : 4).root();
    if (value.is_null()) root.erase(key); else root[key] = value;
    auto cache = Cache::create(ModelConfig(root));
    ASSERT_FALSE(cache.has_value()) << key << " " << value;
    EXPECT_EQ(cache.error().kind(), MoEError::Kind::Config);
    EXPECT_NE(cache.error().message().find(key), std::string::npos) << cache.error().message();
  }
  // Zero layers: empty, even with zero head counts.
  nlohmann::json zero = small_config(0).root();
  zero["linear_num_key_heads"] = 0u;
  auto empty = Cache::create(ModelConfig(zero));
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->layers.empty());
  // Sizes that overflow are refused, not allocated.
  nlohmann::json huge = small_config(1).root();
  huge["linear_key_head_dim"] = uint64_t{1} << 62;
  EXPECT_FALSE(Cache::create(ModelConfig(huge)).has_value());
}

TEST(CacheTest, TypedAccessChecksIndexAndKind) {
  Cache cache = small_cache(4);
  auto full = cache.full_layer(3);
  ASSERT_TRUE(full.has_value());
  (*full)->len = 9;
  (*full)->k_cache[5] = 2.5f;
  const Cache& view = cache;
  auto read = view.full_layer(3);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ((*read)->len, 9u);
  EXPECT_EQ((*read)->k_cache[5], 2.5f);
  auto linear = cache.linear_layer(0);
  ASSERT_TRUE(linear.has_value());
  (*linear)->ssm_state[1] = 4.0f;
  EXPECT_EQ((*view.linear_layer(0))->ssm_state[1], 4.0f);

  EXPECT_EQ(cache.linear_layer(3).error().to_string(), "Config error: expected Linear state");
  EXPECT_EQ(view.linear_layer(3).error().to_string(), "Config error: expected Linear state");
  EXPECT_EQ(cache.full_layer(2).error().to_string(), "Config error: expected Full state");
  EXPECT_EQ(view.full_layer(0).error().to_string(), "Config error: expected Full state");
  for (auto error : {cache.full_layer(4).error(), view.linear_layer(9).error()}) {
    EXPECT_EQ(error.kind(), MoEError::Kind::Config);
    EXPECT_NE(error.message().find("4 layers"), std::string::npos) << error.message();
  }
}

TEST(CacheTest, ResetKeepsKeyRowsAndZeroesLinearState) {
  Cache cache = small_cache(4);
  fill(cache);
  const std::vector<float> keys = std::get<FullState>(cache.layers[3]).k_cache;
  const float* storage = std::get<LinearState>(cache.layers[0]).conv_state.data();
  cache.reset();
  EXPECT_EQ(cache.pos, 0u);
  const auto& full = std::get<FullState>(cache.layers[3]);
  EXPECT_EQ(full.len, 0u);
  EXPECT_EQ(full.k_cache, keys);
  for (size_t i : {0, 1, 2}) {
    const auto& linear = std::get<LinearState>(cache.layers[i]);
    EXPECT_EQ(linear.conv_state, std::vector<float>(12, 0.0f));
    EXPECT_EQ(linear.ssm_state, std::vector<float>(2, 0.0f));
  }
  EXPECT_EQ(std::get<LinearState>(cache.layers[0]).conv_state.data(), storage);  // zeroed in place
}

TEST(CacheTest, SaveWritesTheExactManifestText) {
  ScratchDir dir;
  Cache cache = small_cache(1);
  cache.pos = 3;
  ASSERT_TRUE(cache.save(dir / "c.bin", dir / "c.json").has_value());
  EXPECT_EQ(read_file(dir / "c.json"), R"({
  "tensors": {
    "cache.layer_0.conv_state": {
      "dtype": "float32",
      "offset": 0,
      "shape": [
        3,
        4
      ],
      "size": 48
    },
    "cache.layer_0.ssm_state": {
      "dtype": "float32",
      "offset": 48,
      "shape": [
        2
      ],
      "size": 8
    },
    "cache.pos": {
      "dtype": "uint32",
      "offset": 56,
      "shape": [],
      "size": 4
    }
  }
})");
  std::string data(56, '\0');
  append_u32(data, 3);
  EXPECT_EQ(read_file(dir / "c.bin"), data);
}

TEST(CacheTest, SaveWritesDataInLayerOrderAndSortsManifestNamesByBytes) {
  ScratchDir dir;
  Cache cache = small_cache(12);
  fill(cache);
  ASSERT_TRUE(cache.save(dir / "c.bin", dir / "c.json").has_value());

  std::string data;
  nlohmann::json expected;
  const auto entry = [&](const std::string& name, const char* dtype, nlohmann::json shape, uint64_t size) {
    expected["tensors"][name] = {{"dtype", dtype}, {"offset", data.size()}, {"shape", shape}, {"size", size}};
  };
  for (size_t i = 0; i < 12; ++i) {
    const std::string prefix = fmt::format("cache.layer_{}.", i);
    if (const auto* full = std::get_if<FullState>(&cache.layers[i])) {
      ASSERT_EQ((i + 1) % 4, 0u);
      entry(prefix + "k_cache", "float32", {4096, 2}, 32768);
      put_f32s(data, full->k_cache);
      entry(prefix + "v_cache", "float32", {4096, 2}, 32768);
      put_f32s(data, full->v_cache);
      entry(prefix + "len", "uint32", nlohmann::json::array(), 4);
      append_u32(data, 17);
    } else {
      const auto& s = std::get<LinearState>(cache.layers[i]);
      entry(prefix + "conv_state", "float32", {3, 4}, 48);
      put_f32s(data, s.conv_state);
      entry(prefix + "ssm_state", "float32", {2}, 8);
      put_f32s(data, s.ssm_state);
    }
  }
  entry("cache.pos", "uint32", nlohmann::json::array(), 4);
  append_u32(data, 4095);

  EXPECT_EQ(read_file(dir / "c.bin"), data);
  // The layout of the text is pinned above; here the entries and their order by bytes.
  const std::string manifest = read_file(dir / "c.json");
  EXPECT_EQ(nlohmann::json::parse(manifest), expected);
  size_t last = 0;
  for (const auto& [name, _] : expected["tensors"].items()) {  // ordered by bytes: layer_10 before layer_2
    const size_t at = manifest.find("\n    \"" + name + "\": {");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_GT(at, last) << name;
    last = at;
  }
}

TEST(CacheTest, SaveCreatesFilesWithTheUmaskAndReportsFailures) {
  ScratchDir dir;
  const Cache cache = small_cache(4);
  const mode_t old_mask = ::umask(027);
  auto saved = cache.save(dir / "c.bin", dir / "c.json");
  ::umask(old_mask);
  ASSERT_TRUE(saved.has_value());
  struct stat st {};
  ASSERT_EQ(::stat((dir / "c.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  ASSERT_EQ(::stat((dir / "c.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // Saving again truncates, and the data file is written before the manifest.
  write_file(dir / "old.bin", std::string(1 << 20, 'x'));
  ASSERT_TRUE(cache.save(dir / "old.bin", dir / "no_dir" / "c.json").error() == "No such file or directory (os error 2)");
  EXPECT_EQ(read_file(dir / "old.bin"), read_file(dir / "c.bin"));
  EXPECT_EQ(cache.save(dir / "no_dir" / "c.bin", dir / "c.json").error(), "No such file or directory (os error 2)");

  // A name with a NUL must not reach the OS, which would see "c" and overwrite it.
  write_file(dir / "c", "keep");
  const std::string nul_name = (dir / "c").string() + std::string(1, '\0') + ".bin";
  EXPECT_EQ(cache.save(nul_name, dir / "d.json").error(), "file name contained an unexpected NUL byte");
  EXPECT_EQ(read_file(dir / "c"), "keep");
}

TEST(CacheTest, SavedCachesLoadBack) {
  ScratchDir dir;
  Cache cache = small_cache(12);
  fill(cache);
  ASSERT_TRUE(cache.save(dir / "c.bin", dir / "c.json").has_value());
  auto loaded = Cache::load(dir / "c.bin", dir / "c.json");
  ASSERT_TRUE(loaded.has_value()) << loaded.error();
  EXPECT_EQ(loaded->pos, 4095u);
  ASSERT_EQ(loaded->layers.size(), 12u);
  for (size_t i = 0; i < 12; ++i) {
    if (const auto* full = std::get_if<FullState>(&cache.layers[i])) {
      const auto& back = std::get<FullState>(loaded->layers[i]);
      EXPECT_EQ(back.k_cache, full->k_cache);
      EXPECT_EQ(back.v_cache, full->v_cache);
      EXPECT_EQ(back.len, 17u);
    } else {
      const auto& back = std::get<LinearState>(loaded->layers[i]);
      EXPECT_EQ(back.conv_state, std::get<LinearState>(cache.layers[i]).conv_state);
      EXPECT_EQ(back.ssm_state, std::get<LinearState>(cache.layers[i]).ssm_state);
      EXPECT_EQ(back.gpu_buffer, nullptr);
    }
  }
}

class CacheLoadTest : public ::testing::Test {
 protected:
  // 64 bytes of data: float k at byte 4k holds k + 0.5, except the u32 words 7 and 8 in bytes 60..63.
  void SetUp() override {
    std::string data;
    for (int k = 0; k < 15; ++k) append_u32(data, std::bit_cast<uint32_t>(k + 0.5f));
    append_u32(data, 7);
    write_file(dir_ / "d.bin", data);
  }

  CacheResult<Cache> load_manifest(const std::string& tensors) {
    write_file(dir_ / "m.json", "{\"tensors\": {" + tensors + "}}");
    return Cache::load(dir_ / "d.bin", dir_ / "m.json");
  }

  std::string failure(const std::string& tensors) {
    auto cache = load_manifest(tensors);
    EXPECT_FALSE(cache.has_value()) << tensors;
    return cache ? std::string() : cache.error();
  }

  static std::string linear(int layer, int offset = 0) {
    return fmt::format(R"("cache.layer_{0}.conv_state": {{"offset": {1}, "size": 12}},)"
                       R"("cache.layer_{0}.ssm_state": {{"offset": {1}, "size": 8}},)",
                       layer, offset);
  }

  ScratchDir dir_;
};

TEST_F(CacheLoadTest, LayersCountUpToTheFirstGap) {
  const std::string pos = R"("cache.pos": {"offset": 60})";
  auto only_pos = load_manifest(pos);
  ASSERT_TRUE(only_pos.has_value()) << only_pos.error();
  EXPECT_TRUE(only_pos->layers.empty());
  EXPECT_EQ(only_pos->pos, 7u);

  const std::string full3 =
      R"("cache.layer_3.k_cache": {"offset": 4, "size": 10, "dtype": "uint32", "shape": [9]},)"
      R"("cache.layer_3.v_cache": {"offset": 0, "size": 0},)"
      R"("cache.layer_3.len": {"offset": 60, "size": 999},)";
  auto gap = load_manifest(linear(0) + linear(1, 8) + linear(2) + full3 + linear(5) + pos);
  ASSERT_TRUE(gap.has_value()) << gap.error();
  ASSERT_EQ(gap->layers.size(), 4u);  // layer 5 lies past the gap at 4
  const auto& l1 = std::get<LinearState>(gap->layers[1]);
  EXPECT_EQ(l1.conv_state, (std::vector<float>{2.5f, 3.5f, 4.5f}));
  EXPECT_EQ(l1.ssm_state, (std::vector<float>{2.5f, 3.5f}));
  const auto& l3 = std::get<FullState>(gap->layers[3]);
  EXPECT_EQ(l3.k_cache, (std::vector<float>{1.5f, 2.5f}));  // size 10: two floats, the rest ignored
  EXPECT_TRUE(l3.v_cache.empty());
  EXPECT_EQ(l3.len, 7u);

  // A duplicated name keeps its last entry.
  auto dup = load_manifest(R"("cache.pos": {"offset": 0}, )" + pos);
  ASSERT_TRUE(dup.has_value());
  EXPECT_EQ(dup->pos, 7u);
}

TEST_F(CacheLoadTest, MissingEntriesAndMembersAreNamed) {
  // cache.pos is read before any layer, even a broken one.
  EXPECT_EQ(failure(R"("cache.layer_0.k_cache": {})"), "missing tensor: cache.pos");
  EXPECT_EQ(failure(R"("cache.pos": {"size": 4})"), "missing offset");
  const std::string k = R"("cache.layer_0.k_cache": {"offset": 0, "size": 4})";
  const std::pair<std::string, const char*> cases[] = {
      {k, "missing tensor: cache.layer_0.v_cache"},
      {k + R"(, "cache.layer_0.v_cache": {"offset": 0, "size": 4})", "missing tensor: cache.layer_0.len"},
      {R"("cache.layer_0.conv_state": {"offset": 0, "size": 4})", "missing tensor: cache.layer_0.ssm_state"},
      {R"("cache.layer_0.conv_state": {"offset": "0", "size": 4})", "missing offset"},
      {R"("cache.layer_0.conv_state": {"offset": -1, "size": 4})", "missing offset"},
      {R"("cache.layer_0.conv_state": {"offset": 0, "size": 4.0})", "missing size"},
      {R"("cache.layer_0.conv_state": [0, 4])", "missing offset"},
  };
  for (const auto& [tensors, message] : cases) EXPECT_EQ(failure(tensors + R"(, "cache.pos": {"offset": 60})"), message);
}

TEST_F(CacheLoadTest, RangesAreCheckedAgainstTheDataFile) {
  const std::string pos = R"(, "cache.pos": {"offset": 60})";
  const std::string ok = R"("cache.layer_0.ssm_state": {"offset": 0, "size": 4}, )";
  auto exact = load_manifest(R"("cache.layer_0.conv_state": {"offset": 4, "size": 60}, )" + ok + R"("cache.pos": {"offset": 60})");
  ASSERT_TRUE(exact.has_value()) << exact.error();
  EXPECT_EQ(std::get<LinearState>(exact->layers[0]).conv_state.size(), 15u);

  for (const char* range : {R"({"offset": 5, "size": 60})", R"({"offset": 18446744073709551615, "size": 8})",
                            R"({"offset": 0, "size": 18446744073709551615})", R"({"offset": 65, "size": 0})"}) {
    const std::string error = failure(std::string(R"("cache.layer_0.conv_state": )") + range + ", " + ok + pos.substr(2));
    EXPECT_NE(error.find("cache.layer_0.conv_state"), std::string::npos) << range << ": " << error;
  }
  EXPECT_NE(failure(R"("cache.pos": {"offset": 61})").find("cache.pos"), std::string::npos);
  EXPECT_NE(failure(R"("cache.pos": {"offset": 18446744073709551614})").find("cache.pos"), std::string::npos);
}

TEST_F(CacheLoadTest, FileAndManifestFailures) {
  write_file(dir_ / "m.json", R"({"tensor": {}})");
  EXPECT_EQ(Cache::load(dir_ / "d.bin", dir_ / "m.json").error(), "No 'tensors' key in manifest");
  write_file(dir_ / "m.json", R"([])");
  EXPECT_EQ(Cache::load(dir_ / "d.bin", dir_ / "m.json").error(), "No 'tensors' key in manifest");
  write_file(dir_ / "m.json", R"({"tensors": {})");
  EXPECT_NE(Cache::load(dir_ / "d.bin", dir_ / "m.json").error().find("line 1"), std::string::npos);
  EXPECT_EQ(Cache::load(dir_ / "d.bin", dir_ / "absent.json").error(), "No such file or directory (os error 2)");
  write_file(dir_ / "m.json", R"({"tensors": {"cache.pos": {"offset": 0}}})");
  EXPECT_EQ(Cache::load(dir_ / "absent.bin", dir_ / "m.json").error(), "No such file or directory (os error 2)");
  // An empty data file maps to nothing; every entry is then out of range.
  write_file(dir_ / "empty.bin", "");
  EXPECT_NE(Cache::load(dir_ / "empty.bin", dir_ / "m.json").error().find("cache.pos"), std::string::npos);
  const size_t before = open_descriptor_count();
  EXPECT_FALSE(load_manifest(R"("cache.pos": {"offset": 99})").has_value());
  EXPECT_TRUE(load_manifest(R"("cache.pos": {"offset": 0})").has_value());
  EXPECT_EQ(open_descriptor_count(), before);
}

}  // namespace
}  // namespace varkel
