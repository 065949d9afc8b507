#include <sys/resource.h>
#include <sys/stat.h>

#include <bit>
#include <csignal>
#include <functional>
#include <map>
#include <thread>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "cache/cache.h"
#include "common/test_files.h"

namespace varkel {
namespace {

using namespace testing_support;

// kv_dim 2, conv_dim 4 (3 rows kept), recurrent state 2; layers 3, 7, ... are full.
Cache small_cache(size_t layers) {
  auto cache = Cache::create(ModelConfig(nlohmann::json{
      {"num_hidden_layers", layers}, {"num_key_value_heads", 1u}, {"head_dim", 2u}, {"linear_num_value_heads", 1u},
      {"linear_num_key_heads", 1u}, {"linear_key_head_dim", 1u}, {"linear_value_head_dim", 2u}}));
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
      for (float& x : std::get<LinearState>(state).conv_state) x = next += 0.5f;
      for (float& x : std::get<LinearState>(state).ssm_state) x = next * 3.0f + 0.125f;
    }
  }
  cache.pos = 4095;
}

void put_f32s(std::string& out, const std::vector<float>& values) {
  for (float v : values) append_u32(out, std::bit_cast<uint32_t>(v));
}

TEST(CacheTest, TypedAccessErrorsAndReset) {
  Cache cache = small_cache(4);
  fill(cache);
  const Cache& view = cache;
  EXPECT_EQ((*view.full_layer(3))->len, 17u);
  EXPECT_EQ(cache.linear_layer(3).error().to_string(), "Config error: expected Linear state");
  EXPECT_EQ(view.full_layer(0).error().to_string(), "Config error: expected Full state");
  for (auto error : {cache.full_layer(4).error(), view.linear_layer(9).error()}) {
    EXPECT_NE(error.message().find("4 layers"), std::string::npos) << error.message();
  }
  const std::vector<float> keys = std::get<FullState>(cache.layers[3]).k_cache;
  cache.reset();
  EXPECT_EQ(cache.pos, 0u);
  EXPECT_EQ(std::get<FullState>(cache.layers[3]).len, 0u);
  EXPECT_EQ(std::get<FullState>(cache.layers[3]).k_cache, keys);  // key rows are kept
  EXPECT_EQ(std::get<LinearState>(cache.layers[2]).conv_state, std::vector<float>(12, 0.0f));
  EXPECT_EQ(std::get<LinearState>(cache.layers[2]).ssm_state, std::vector<float>(2, 0.0f));
}

TEST(CacheTest, CreateRefusesSizesNoEngineHolds) {
  const nlohmann::json engine = {{"num_hidden_layers", 4u},       {"num_key_value_heads", 2u},
                                 {"head_dim", 256u},              {"linear_num_value_heads", 32u},
                                 {"linear_num_key_heads", 16u},   {"linear_key_head_dim", 128u},
                                 {"linear_value_head_dim", 128u}};
  const std::pair<nlohmann::json, std::string> cases[] = {  // changes, the message or its start
      {{{"head_dim", 65536u}},  // took 4 GB
       "num_key_value_heads × head_dim (2 × 65536) exceeds the 512 floats of a key/value row an engine holds"},
      {{{"head_dim", 1ull << 63}},
       "num_key_value_heads × head_dim (2 × 9223372036854775808) exceeds the 512 floats of a key/value row an "
       "engine holds"},
      {{{"linear_num_key_heads", 17u}},
       "2 × linear_key_head_dim × linear_num_key_heads + linear_value_head_dim × linear_num_value_heads "
       "(2 × 128 × 17 + 128 × 32) exceeds the 8192 convolution channels an engine holds"},
      {{{"linear_key_head_dim", 256u}, {"linear_num_key_heads", 8u}},  // the same 8192 channels
       "linear_key_head_dim × linear_num_value_heads × linear_value_head_dim (256 × 32 × 128) exceeds the 524288 "
       "floats of recurrent state an engine holds"},
      // Tiny states, but more layers than any memory holds.
      {{{"num_hidden_layers", 1ull << 40}, {"head_dim", 1u}, {"linear_key_head_dim", 1u}, {"linear_value_head_dim", 1u}},
       "cache for 1099511627776 layers needs "},
  };
  for (const auto& [changes, message] : cases) {
    nlohmann::json config = engine;
    config.update(changes);
    auto cache = Cache::create(ModelConfig(config));
    const std::string error = cache ? "created" : cache.error().to_string();
    EXPECT_EQ(error.rfind("Config error: " + message, 0), 0u) << error;
  }
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

TEST(CacheTest, SaveWritesLayersInOrderAndLoadsBack) {
  ScratchDir dir;
  Cache cache = small_cache(12);
  fill(cache);
  ASSERT_TRUE(cache.save(dir / "c.bin", dir / "c.json").has_value());
  std::string data;
  for (const State& state : cache.layers) {
    if (const auto* full = std::get_if<FullState>(&state)) {
      put_f32s(data, full->k_cache);
      put_f32s(data, full->v_cache);
      append_u32(data, 17);
    } else {
      put_f32s(data, std::get<LinearState>(state).conv_state);
      put_f32s(data, std::get<LinearState>(state).ssm_state);
    }
  }
  append_u32(data, 4095);
  EXPECT_EQ(read_file(dir / "c.bin"), data);
  const std::string manifest = read_file(dir / "c.json");  // names sorted by bytes
  EXPECT_LT(manifest.find("cache.layer_11.len"), manifest.find("cache.layer_2.conv_state"));

  auto loaded = Cache::load(dir / "c.bin", dir / "c.json");
  ASSERT_TRUE(loaded.has_value()) << loaded.error();
  EXPECT_EQ(loaded->pos, 4095u);
  ASSERT_EQ(loaded->layers.size(), 12u);
  EXPECT_EQ(std::get<FullState>(loaded->layers[11]).v_cache, std::get<FullState>(cache.layers[11]).v_cache);
  EXPECT_EQ(std::get<LinearState>(loaded->layers[10]).ssm_state, std::get<LinearState>(cache.layers[10]).ssm_state);

  // A name with a NUL must not reach the OS, which would see "c" and overwrite it.
  write_file(dir / "c", "keep");
  EXPECT_EQ(cache.save((dir / "c").string() + std::string(1, '\0') + ".bin", dir / "d.json").error(),
            "file name contained an unexpected NUL byte");
  EXPECT_EQ(read_file(dir / "c"), "keep");
}

class CacheLoadTest : public ::testing::Test {
 protected:
  void SetUp() override { write_file(dir_ / "d.bin", std::string(64, '\0')); }
  std::string failure(const std::string& tensors) {
    write_file(dir_ / "m.json", "{\"tensors\": {" + tensors + "}}");
    auto cache = Cache::load(dir_ / "d.bin", dir_ / "m.json");
    EXPECT_FALSE(cache.has_value()) << tensors;
    return cache ? std::string() : cache.error();
  }
  ScratchDir dir_;
};

TEST_F(CacheLoadTest, HostileManifests) {
  const std::string pos = R"(, "cache.pos": {"offset": 60})";
  const std::string ssm = R"(, "cache.layer_0.ssm_state": {"offset": 0, "size": 4})";
  EXPECT_EQ(failure(R"("cache.layer_0.k_cache": {})"), "missing tensor: cache.pos");
  const std::pair<std::string, std::string> cases[] = {
      {R"("cache.layer_0.k_cache": {"offset": 0, "size": 4})", "missing tensor: cache.layer_0.v_cache"},
      {R"("cache.layer_0.conv_state": {"offset": 0, "size": 4})", "missing tensor: cache.layer_0.ssm_state"},
      {R"("cache.layer_0.conv_state": {"offset": -1, "size": 4})", "missing offset"},
      {R"("cache.layer_0.conv_state": {"offset": 0, "size": 4.0})", "missing size"},
      {R"("cache.layer_0.conv_state": [0, 4])", "missing offset"},
  };
  for (const auto& [tensors, message] : cases) EXPECT_EQ(failure(tensors + pos), message);
  for (const char* range : {R"({"offset": 5, "size": 60})", R"({"offset": 18446744073709551615, "size": 8})",
                            R"({"offset": 0, "size": 18446744073709551615})", R"({"offset": 65, "size": 0})"}) {
    const std::string error = failure(std::string(R"("cache.layer_0.conv_state": )") + range + ssm + pos);
    EXPECT_NE(error.find("cache.layer_0.conv_state"), std::string::npos) << range << ": " << error;
  }
  EXPECT_NE(failure(R"("cache.pos": {"offset": 18446744073709551614})").find("cache.pos"), std::string::npos);
  write_file(dir_ / "m.json", "[]");
  EXPECT_EQ(Cache::load(dir_ / "d.bin", dir_ / "m.json").error(), "No 'tensors' key in manifest");
}

// Caches whose state the engine could not use as saved: each case spoils the cache
// before the save or its manifest after it.
TEST_F(CacheLoadTest, RefusesStateOfImpossibleSizes) {
  using Manifest = nlohmann::json;
  struct Case {
    const char* name;
    std::function<void(Cache&)> spoil_cache;
    std::function<void(Manifest&)> spoil_manifest;
    std::string error;
  };
  const auto entry = [](Manifest& m, int layer, const char* part) -> Manifest& {
    return m["tensors"][fmt::format("cache.layer_{}.{}", layer, part)];
  };
  const auto shrink = [&](int layer, const char* part, uint64_t bytes) {
    return [=](Manifest& m) { entry(m, layer, part)["size"] = entry(m, layer, part)["size"].get<uint64_t>() - bytes; };
  };
  const auto none_c = [](Cache&) {};
  const auto none_m = [](Manifest&) {};
  // small_cache(8): conv_state 12 floats, ssm_state 2, k/v caches 8192 (4096 rows of 2).
  const Case cases[] = {
      {"position past MAX_SEQ", [](Cache& c) { c.pos = 4097; }, none_m, "cache.pos 4097 exceeds MAX_SEQ (4096)"},
      {"filled length past MAX_SEQ", [](Cache& c) { std::get<FullState>(c.layers[7]).len = 4097; }, none_m,
       "cache.layer_7.len 4097 exceeds MAX_SEQ (4096)"},
      {"truncated ssm_state", none_c, shrink(5, "ssm_state", 4),
       "cache.layer_5.ssm_state holds 1 floats but cache.layer_0.ssm_state holds 2"},
      {"truncated conv_state", none_c, shrink(2, "conv_state", 12),
       "cache.layer_2.conv_state holds 9 floats but cache.layer_0.conv_state holds 12"},
      {"conv_state of no whole rows", none_c, shrink(0, "conv_state", 4),
       "cache.layer_0.conv_state holds 11 floats, not 3 whole rows"},
      {"key cache of no whole rows", none_c, shrink(3, "k_cache", 4),
       "cache.layer_3.k_cache holds 8191 floats, not whole rows of 4096 positions"},
      {"value cache shorter than keys", none_c, shrink(3, "v_cache", 4 * 4096),
       "cache.layer_3.v_cache holds 4096 floats but cache.layer_3.k_cache holds 8192"},
      {"one row less in another full layer", none_c,
       [&](Manifest& m) { shrink(7, "k_cache", 4 * 4096)(m), shrink(7, "v_cache", 4 * 4096)(m); },
       "cache.layer_7.k_cache holds 4096 floats but cache.layer_3.k_cache holds 8192"},
      {"layers sharing bytes", none_c,
       [&](Manifest& m) {
         for (int layer = 8; layer < 12; ++layer) {
           for (const char* part : {"k_cache", "v_cache", "len", "conv_state", "ssm_state"}) {
             const std::string from = fmt::format("cache.layer_{}.{}", layer - 4, part);
             if (m["tensors"].contains(from)) entry(m, layer, part) = m["tensors"][from];
           }
         }
       },
       "the tensors of layers 0 to 8 need more than the data file's 131420 bytes: entries overlap"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Cache cache = small_cache(8);
    c.spoil_cache(cache);
    ASSERT_TRUE(cache.save(dir_ / "c.bin", dir_ / "c.json").has_value());
    Manifest manifest = Manifest::parse(read_file(dir_ / "c.json"));
    c.spoil_manifest(manifest);
    write_file(dir_ / "c.json", manifest.dump());
    auto loaded = Cache::load(dir_ / "c.bin", dir_ / "c.json");
    EXPECT_EQ(loaded ? "loaded" : loaded.error(), c.error);
  }
}

// Writes past `bytes` fail with EFBIG while it lives, as they would on a full disk.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : handler_(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, handler_);
  }

 private:
  void (*handler_)(int);
  rlimit saved_{};
};

// Every entry of `dir`: a regular file's bytes and mode, or what else it is.
std::map<std::string, std::string> snapshot(const ScratchDir& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    const auto status = entry.symlink_status();
    entries[entry.path().filename().string()] =
        status.type() == std::filesystem::file_type::regular
            ? fmt::format("{:o} {}", static_cast<unsigned>(status.permissions()), read_file(entry.path()))
            : fmt::format("type {}", static_cast<int>(status.type()));
  }
  return entries;
}

TEST(CacheFilesTest, FailedSaveLeavesThePreviousPair) {
  Cache old_cache = small_cache(2);  // 116 data bytes, a manifest of about 500
  fill(old_cache);
  Cache new_cache = small_cache(2);
  new_cache.pos = 7;
  struct Case {
    const char* name;
    std::string bin, json;
    rlim_t limit;
    std::string error;  // "{}" stands for the directory
  };
  const Case cases[] = {
      {"data write fails", "c.bin", "c.json", 50, "File too large (os error 27)"},
      {"manifest write fails", "c.bin", "c.json", 200, "File too large (os error 27)"},
      {"manifest target is a directory", "c.bin", "d", RLIM_INFINITY, "{}/d is a directory, not a regular file"},
      {"data target is a FIFO", "f", "c.json", RLIM_INFINITY, "{}/f is a FIFO, not a regular file"},
      // One file for both would be renamed over itself: only the manifest would be left.
      {"one path for both", "c.json", "c.json", RLIM_INFINITY, "cache data file and manifest are one file: {}/c.json"},
      {"two spellings of one path", "d/../c.bin", "c.bin", RLIM_INFINITY,
       "cache data file and manifest are one file: {}/d/../c.bin"},
      {"a symlink to the manifest", "l.json", "c.json", RLIM_INFINITY,
       "cache data file and manifest are one file: {}/l.json"},
      {"a hard link of the manifest", "h.json", "c.json", RLIM_INFINITY,
       "cache data file and manifest are one file: {}/h.json"},
      {"one new file", "n.json", "d/../n.json", RLIM_INFINITY, "cache data file and manifest are one file: {}/n.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_TRUE(old_cache.save(dir / "c.bin", dir / "c.json").has_value());
    std::filesystem::create_directory(dir / "d");
    ASSERT_EQ(::mkfifo((dir / "f").c_str(), 0600), 0);
    std::filesystem::create_symlink("c.json", dir / "l.json");
    std::filesystem::create_hard_link(dir / "c.json", dir / "h.json");
    const auto before = snapshot(dir);
    CacheResult<void> saved;
    {
      FileSizeLimit limit(c.limit);
      saved = new_cache.save(dir / c.bin, dir / c.json);
    }
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(saved.error(), fmt::format(fmt::runtime(c.error), dir.path().string()));
    EXPECT_EQ(snapshot(dir), before);  // nothing changed, no temporary left
  }

  // A save replaces the file a symlink points to, keeping the link and the file's mode,
  // and creates the file a dangling link names.
  ScratchDir dir;
  ASSERT_TRUE(old_cache.save(dir / "c.bin", dir / "c.json").has_value());
  std::filesystem::permissions(dir / "c.bin", std::filesystem::perms(0640));
  std::filesystem::create_symlink("c.bin", dir / "link.bin");
  std::filesystem::create_directory(dir / "sub");
  std::filesystem::create_symlink("sub/new.json", dir / "link.json");
  ASSERT_TRUE(new_cache.save(dir / "link.bin", dir / "link.json").has_value());
  EXPECT_EQ(Cache::load(dir / "c.bin", dir / "sub" / "new.json")->pos, 7u);
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.bin") && std::filesystem::is_symlink(dir / "link.json"));
  EXPECT_EQ(std::filesystem::status(dir / "c.bin").permissions(), std::filesystem::perms(0640));
  EXPECT_EQ(snapshot(dir).size(), 5u);  // c.bin, c.json, sub and the two links: no temporary left
}

// Two spellings of one file not there yet, relative to the working directory or
// not: refused before anything is written, since the manifest would be renamed
// over the data.
TEST(CacheFilesTest, RefusesTwoSpellingsOfOneNewFile) {
  const Cache cache = small_cache(2);
  struct Case {
    const char* name;
    std::string bin, json;  // "{}" stands for the directory
  };
  const Case cases[] = {
      {"with and without ./", "./c.bin", "c.bin"},
      {"absolute and relative", "{}/c.bin", "c.bin"},
      {"relative and absolute through ..", "c.bin", "{}/sub/../c.bin"},
      {"through .. in a subdirectory", "c.bin", "sub/../c.bin"},
      {"through a link to a directory", "sub/c.bin", "linked/c.bin"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchCwd dir;
    std::filesystem::create_directory(dir / "sub");
    std::filesystem::create_directory_symlink("sub", dir / "linked");
    const auto before = snapshot(dir);
    const std::string bin = fmt::format(fmt::runtime(c.bin), dir.path().string());
    const std::string json = fmt::format(fmt::runtime(c.json), dir.path().string());
    const CacheResult<void> saved = cache.save(bin, json);
    EXPECT_EQ(saved.has_value() ? "saved" : saved.error(), "cache data file and manifest are one file: " + bin);
    EXPECT_EQ(snapshot(dir), before);
    EXPECT_TRUE(std::filesystem::is_empty(dir / "sub"));
  }
  // One name in two directories is two files.
  ScratchCwd dir;
  std::filesystem::create_directory(dir / "sub");
  ASSERT_TRUE(cache.save("c.bin", "sub/c.bin").has_value());
  EXPECT_TRUE(Cache::load("./c.bin", "sub/./c.bin").has_value());
}

// Another process renames a directory, or flips a link to one, while saves run:
// each save that succeeds leaves both its files in place, each that fails leaves
// no temporary behind.
TEST(CacheFilesTest, ADirectoryNameThatChangesDuringSavesSplitsNoPairAndKeepsNoTemporary) {
  namespace fs = std::filesystem;
  Cache cache = small_cache(2);
  cache.pos = 9;
  struct Case {
    const char* what;
    std::string bin, json;
    std::function<void(const fs::path& root, bool other)> flip;
    bool pair_in_d1_and_d2;  // where a save that succeeded must have put its pair
  };
  const Case cases[] = {
      {"a link flipped between two directories", "l/c.bin", "d2/c.bin",
       [](const fs::path& root, bool other) {
         fs::create_directory_symlink(other ? "d2" : "d1", root / "l.new");
         fs::rename(root / "l.new", root / "l");
       },
       true},
      {"a directory renamed away and back", "d1/c.bin", "d1/c.json",
       [](const fs::path& root, bool other) { fs::rename(root / (other ? "d1" : "away"), root / (other ? "away" : "d1")); },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir dir;
    fs::create_directory(dir / "d1");
    fs::create_directory(dir / "d2");
    fs::create_directory_symlink("d1", dir / "l");
    std::jthread flipper([&](std::stop_token stop) {
      for (bool other = true; !stop.stop_requested(); other = !other) c.flip(dir.path(), other);
    });
    int saved_pairs = 0;
    for (int i = 0; i < 200; ++i) {
      std::error_code absent;
      fs::remove(dir / "d1/c.bin", absent);
      fs::remove(dir / "d2/c.bin", absent);
      const CacheResult<void> saved = cache.save(dir / c.bin, dir / c.json);
      if (!saved || !c.pair_in_d1_and_d2) continue;
      auto loaded = Cache::load(dir / "d1/c.bin", dir / "d2/c.bin");
      EXPECT_EQ(loaded ? loaded->pos : 0, 9u) << (loaded ? "" : loaded.error());
      ++saved_pairs;
    }
    flipper.request_stop();
    flipper.join();
    if (c.pair_in_d1_and_d2) EXPECT_GT(saved_pairs, 0);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

// A FIFO would block forever and /dev/zero would be read until memory runs out.
TEST(CacheFilesTest, RefusesFilesThatAreNotRegular) {
  ScratchDir dir;
  ASSERT_TRUE(small_cache(4).save(dir / "good.bin", dir / "good.json").has_value());
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir / "zero");
  const std::tuple<std::string, std::string, std::string> loads[] = {
      {"fifo", "good.json", "fifo is a FIFO"},
      {"good.bin", "fifo", "fifo is a FIFO"},
      {"good.bin", "zero", "zero is a character device"},
      {"zero", "good.json", "zero is a character device"},
  };
  for (const auto& [bin, json, what] : loads) {
    auto loaded = Cache::load(dir / bin, dir / json);
    ASSERT_FALSE(loaded.has_value()) << bin << " " << json;
    EXPECT_EQ(loaded.error(), (dir / what).string() + ", not a regular file");
  }
}

}  // namespace
}  // namespace varkel
