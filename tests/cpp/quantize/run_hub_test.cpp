// Converting from a hub repository (a loopback stand-in): shards are fetched
// on demand, deleted after use and fetched again for the expert stage.

#include <gtest/gtest.h>

#include <unistd.h>

#include "hf_util/fake_hub.h"
#include "model/scratch_dir.h"
#include "quantize/conversion_fixture.h"
#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/run.h"

namespace varkel {
namespace {

using namespace quantize_test;
using testing_support::ScratchDir;

// The hub cache lives below the working directory.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::filesystem::path& dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDirectory() { std::filesystem::current_path(previous_); }

 private:
  std::filesystem::path previous_;
};

TEST(RunFromHub, FetchesDeletesAndConvertsLikeALocalSource) {
  ScratchDir src, work, out;
  const CheckpointShape shape;
  write_checkpoint(src.path(), make_config(shape), make_tensors(shape, 3));
  testing::FakeHub hub;
  const std::string repo_id = "org/tiny";
  for (const char* name : {"config.json", "model.safetensors.index.json", kShard1, kShard2}) {
    testing::FakeResponse response;
    response.body = testing_support::read_file(src / name);
    hub.serve_file(repo_id, name, std::move(response));
  }

  ::testing::internal::CaptureStderr();
  auto scheme = BQ4Scheme::create(src.path(), false);
  ASSERT_TRUE(scheme);
  const auto local = run(src.path().string(), (out / "local").string(), *scheme);
  std::string log;
  {
    WorkingDirectory cwd(work.path());
    auto repo = HfRepo::from_hf(repo_id, hub.base_url());
    ASSERT_TRUE(repo) << repo.error();
    auto remote = run_with_repo(*repo, repo_id, out / "hub", *scheme);
    log = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(local) << local.error();
    ASSERT_TRUE(remote) << remote.error();
  }

  for (const char* shard : {kShard1, kShard2}) {
    const auto caching = log.find(std::string("  Caching header: ") + shard + "\n");
    const auto deleted = log.find(std::string("  Deleted ") + shard + "\n");
    ASSERT_NE(caching, std::string::npos) << log;
    EXPECT_GT(deleted, caching) << shard;
    EXPECT_FALSE(std::filesystem::exists(work / "hub/models--org--tiny" / shard)) << shard;
  }
  EXPECT_TRUE(std::filesystem::exists(work / "hub/models--org--tiny/config.json"));
  EXPECT_TRUE(std::filesystem::exists(work / "hub/models--org--tiny/model.safetensors.index.json"));
  // Once for the non-expert pass, then once per expert layer held: layers 0
  // and 1 in the first shard, layers 1 to 3 in the second.
  EXPECT_EQ(hub.file_hits(repo_id, kShard1), 3);
  EXPECT_EQ(hub.file_hits(repo_id, kShard2), 4);

  EXPECT_EQ(testing_support::read_file(out / "hub/model_weights.bin"),
            testing_support::read_file(out / "local/model_weights.bin"));
  nlohmann::json hub_manifest = read_json(out / "hub/model_weights.json");
  nlohmann::json local_manifest = read_json(out / "local/model_weights.json");
  EXPECT_EQ(hub_manifest.at("model"), repo_id);
  hub_manifest.erase("model");
  local_manifest.erase("model");
  EXPECT_EQ(hub_manifest, local_manifest);
  for (const char* layer : {"layer_00.bin", "layer_01.bin", "layer_02.bin", "layer_03.bin"}) {
    EXPECT_EQ(testing_support::read_file(out / "hub/packed_experts" / layer),
              testing_support::read_file(out / "local/packed_experts" / layer))
        << layer;
  }
  EXPECT_EQ(testing_support::read_file(out / "hub/config.json"), testing_support::read_file(src / "config.json"));
}

TEST(RunFromHub, UnreachableHubFailsWithTheClientsMessage) {
  ScratchDir src, work, out;
  write_checkpoint(src.path(), make_config(CheckpointShape{}), std::vector<SourceTensor>{});
  ::testing::internal::CaptureStderr();
  auto scheme = BQ4Scheme::create(src.path(), false);
  ASSERT_TRUE(scheme);
  WorkingDirectory cwd(work.path());
  testing::clear_proxy_environment();
  auto repo = HfRepo::from_hf("org/none", testing::closed_loopback_url());
  ASSERT_TRUE(repo);
  auto result = run_with_repo(*repo, "org/none", out / "x", *scheme);
  ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().starts_with("HTTP error for config.json: ")) << result.error();
}

}  // namespace
}  // namespace varkel
