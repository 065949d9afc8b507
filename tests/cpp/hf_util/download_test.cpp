// Downloads against the fake hub: present files, dropped bodies, batches.

#include "hf_util/download.h"

#include <gtest/gtest.h>

#include "common/test_files.h"
#include "hf_util/fake_hub.h"

namespace varkel {
namespace {

namespace fs = std::filesystem;
using testing::FakeHub;
using testing::FakeResponse;
using testing_support::read_file;

constexpr const char* REPO = "org/model";
const fs::path CACHE = "hub/models--org--model";

// Bytes that are not all alike, so a misplaced chunk shows.
std::string pattern_bytes(size_t n, uint32_t x) {
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
  return out;
}

std::vector<std::string> cache_entries() {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(CACHE))
    names.push_back(e.path().lexically_relative(CACHE).generic_string());
  std::ranges::sort(names);
  return names;
}

TEST(DownloadNames, BatchTemporariesAreDistinctFromEachOtherAndEveryDestination) {
  EXPECT_EQ(temp_path_for("d/x.tar.gz"), fs::path("d/x.tar.part"));
  EXPECT_EQ(batch_temp_paths({"d/a.json", "d/b.json"}), (std::vector<fs::path>{"d/a.part", "d/b.part"}));
  std::vector<fs::path> dests = {"d/tokenizer.json", "d/tokenizer.model", "d/x.bin", "d/x.bin", "d/y.part", "d/y.bin"};
  auto temps = batch_temp_paths(dests);
  ASSERT_EQ(temps.size(), dests.size());
  std::set<fs::path> seen;
  for (const auto& t : temps) {
    EXPECT_EQ(t.extension(), ".part");
    EXPECT_TRUE(seen.insert(t).second) << t;
    EXPECT_EQ(std::ranges::count(dests, t), 0) << t;
  }
  EXPECT_EQ(temps[0], fs::path("d/tokenizer.0.part"));
}

TEST(DownloadSingle, PresentFilesNeedNoRequestAndADroppedBodyLeavesOnlyThePartFile) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  const std::string big = pattern_bytes(DOWNLOAD_BUFFER_BYTES + 12345, 1), name = "model-00001-of-00002.safetensors";
  hub.serve_file(REPO, name, {200, big, 1700, {}});
  HfRepo repo = testing::hub_repo(hub, REPO);
  EXPECT_EQ(repo.ensure("gone.json").error(), "HTTP error for gone.json: http status: 404");
  auto cut = repo.ensure(name);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().rfind("read " + name + ": ", 0), 0u) << cut.error();
  EXPECT_EQ(cache_entries(), std::vector<std::string>{"model-00001-of-00002.part"});
  EXPECT_TRUE(read_file(CACHE / "model-00001-of-00002.part") == big.substr(0, 1700));

  // The next attempt starts again from byte 0; the body spans several buffers.
  hub.serve_file(REPO, name, FakeResponse::ok(big));
  auto path = repo.ensure(name);
  ASSERT_TRUE(path) << path.error();
  EXPECT_TRUE(read_file(*path) == big);
  EXPECT_EQ(cache_entries(), std::vector<std::string>{name});
  EXPECT_EQ(repo.ensure_batch({name}), (std::vector<fs::path>{*path}));  // present: no request
  EXPECT_EQ(hub.total_hits(), 3);
}

TEST(DownloadBatch, RequestsSharingATemporaryNameDoNotCollide) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  const std::string json = pattern_bytes(300000, 5), model = pattern_bytes(400000, 6);
  hub.serve_file(REPO, "tokenizer.json", {200, json, {}, std::chrono::milliseconds(100)});
  hub.serve_file(REPO, "tokenizer.model", {200, model, {}, std::chrono::milliseconds(100)});
  hub.serve_file(REPO, "w.part", FakeResponse::ok("not a temporary"));
  HfRepo repo = testing::hub_repo(hub, REPO);
  auto paths = repo.ensure_batch({"tokenizer.json", "tokenizer.model", "tokenizer.json", "w.part"});
  ASSERT_TRUE(paths) << paths.error();
  EXPECT_TRUE(read_file(CACHE / "tokenizer.json") == json);
  EXPECT_TRUE(read_file(CACHE / "tokenizer.model") == model);
  EXPECT_EQ(read_file(CACHE / "w.part"), "not a temporary");
  EXPECT_EQ(cache_entries(), (std::vector<std::string>{"tokenizer.json", "tokenizer.model", "w.part"}));
}

}  // namespace
}  // namespace varkel
