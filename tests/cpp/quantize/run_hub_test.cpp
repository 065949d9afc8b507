// Converting from a hub repository (a loopback stand-in): shards are fetched
// on demand, deleted after use and fetched again for the expert stage.

#include <gtest/gtest.h>

#include <unistd.h>

#include "hf_util/fake_hub.h"
#include "common/test_files.h"
#include "quantize/conversion_fixture.h"
#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/run.h"

namespace varkel {
namespace {

using namespace quantize_test;
using testing_support::capture_stderr;
using testing_support::quietly;
using testing_support::read_file;
using testing_support::ScratchDir;
using testing_support::WorkingDirectory;  // the hub cache lives below it

TEST(RunFromHub, FetchesDeletesAndConvertsLikeALocalSource) {
  ScratchDir src, work, out;
  const CheckpointShape shape;
  write_checkpoint(src.path(), make_config(shape), make_tensors(shape, 3));
  testing::FakeHub hub;
  const std::string repo_id = "org/tiny";
  for (const char* name : {"config.json", "model.safetensors.index.json", kShard1, kShard2}) {
    hub.serve_file(repo_id, name, testing::FakeResponse::ok(read_file(src / name)));
  }
  const BQ4Scheme scheme = quietly([&] { return BQ4Scheme::create(src.path(), false); }).value();
  const auto local = quietly([&] { return run(src.path().string(), (out / "local").string(), scheme); });
  ASSERT_TRUE(local) << local.error();
  WorkingDirectory cwd(work.path());
  const HfRepo repo = testing::hub_repo(hub, repo_id);
  auto [remote, log] = capture_stderr([&] { return run_with_repo(repo, repo_id, out / "hub", scheme); });
  ASSERT_TRUE(remote) << remote.error();

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

  EXPECT_EQ(read_file(out / "hub/model_weights.bin"),
            read_file(out / "local/model_weights.bin"));
  nlohmann::json hub_manifest = read_json(out / "hub/model_weights.json");
  nlohmann::json local_manifest = read_json(out / "local/model_weights.json");
  EXPECT_EQ(hub_manifest.at("model"), repo_id);
  hub_manifest.erase("model");
  local_manifest.erase("model");
  EXPECT_EQ(hub_manifest, local_manifest);
  for (const char* layer : {"layer_00.bin", "layer_01.bin", "layer_02.bin", "layer_03.bin"}) {
    EXPECT_EQ(read_file(out / "hub/packed_experts" / layer),
              read_file(out / "local/packed_experts" / layer))
        << layer;
  }
  EXPECT_EQ(read_file(out / "hub/config.json"), read_file(src / "config.json"));
}

TEST(RunFromHub, UnreachableHubFailsWithTheClientsMessage) {
  ScratchDir src, work, out;
  write_checkpoint(src.path(), make_config(CheckpointShape{}), std::vector<SourceTensor>{});
  const BQ4Scheme scheme = quietly([&] { return BQ4Scheme::create(src.path(), false); }).value();
  WorkingDirectory cwd(work.path());
  testing::clear_proxy_environment();
  const HfRepo repo = quietly([] { return HfRepo::from_hf("org/none", testing::closed_loopback_url()); }).value();
  auto result = quietly([&] { return run_with_repo(repo, "org/none", out / "x", scheme); });
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().starts_with("HTTP error for config.json: ")) << result.error();
}

}  // namespace
}  // namespace varkel
