// Downloads against the fake hub: single files, faults, batches.

#include "hf_util/download.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "common/test_files.h"
#include "hf_util/fake_hub.h"
#include "hf_util/http_get.h"

namespace varkel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::FakeHub;
using testing::FakeResponse;
using testing_support::read_file;
using testing_support::write_file;
using ScratchDir = testing_support::ScratchCwd;

constexpr const char* REPO = "org/model";
const fs::path CACHE = "hub/models--org--model";

HfRepo hub_repo(const FakeHub& hub) { return testing::hub_repo(hub, REPO); }

// Bytes that are not all alike, so a misplaced chunk shows.
std::string pattern_bytes(size_t n, uint32_t seed) {
  std::string out(n, '\0');
  uint32_t x = seed;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    out[i] = static_cast<char>(x >> 24);
  }
  return out;
}

std::vector<std::string> cache_entries() {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(CACHE))
    names.push_back(e.path().lexically_relative(CACHE).generic_string());
  std::sort(names.begin(), names.end());
  return names;
}

// A bar that draws nowhere, to read back its length.
std::shared_ptr<progress::ProgressBar> silent_bar() {
  static int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  return progress::ProgressBar::create(progress::DrawTarget::fd(devnull));
}

TEST(DownloadNames, TemporaryNamesStayBesideTheDestination) {
  EXPECT_EQ(temp_path_for("d/model-00001-of-00002.safetensors"), fs::path("d/model-00001-of-00002.part"));
  EXPECT_EQ(temp_path_for("d/config.json"), fs::path("d/config.part"));
  EXPECT_EQ(temp_path_for("d/README"), fs::path("d/README.part"));
  EXPECT_EQ(temp_path_for("d/.env"), fs::path("d/.env.part"));
  EXPECT_EQ(temp_path_for("d/sub/x.tar.gz"), fs::path("d/sub/x.tar.part"));
  EXPECT_EQ(temp_path_for("d/already.part"), fs::path("d/already.part.part"));

  // Unique requests keep the usual name.
  EXPECT_EQ(batch_temp_paths({"d/a.json", "d/b.json"}), (std::vector<fs::path>{"d/a.part", "d/b.part"}));
  // Shared temporaries (same stem, same name twice, a name that is another's
  // temporary) get numbered ones, all distinct from every destination.
  std::vector<fs::path> destinations = {"d/tokenizer.json", "d/tokenizer.model", "d/x.bin",
                                        "d/x.bin",          "d/y.part",          "d/y.bin"};
  auto temps = batch_temp_paths(destinations);
  ASSERT_EQ(temps.size(), destinations.size());
  std::set<fs::path> seen;
  for (size_t i = 0; i < temps.size(); ++i) {
    EXPECT_EQ(temps[i].parent_path(), fs::path("d"));
    EXPECT_EQ(temps[i].extension(), ".part");
    EXPECT_TRUE(seen.insert(temps[i]).second) << temps[i];
    for (const auto& d : destinations) EXPECT_NE(temps[i], d);
  }
  EXPECT_EQ(temps[0], fs::path("d/tokenizer.0.part"));
  EXPECT_EQ(temps[1], fs::path("d/tokenizer.1.part"));
}

TEST(DownloadNames, ContentLengthParsing) {
  EXPECT_EQ(parse_content_length("12"), 12u);
  EXPECT_EQ(parse_content_length("+12"), 12u);
  EXPECT_EQ(parse_content_length("007"), 7u);
  EXPECT_EQ(parse_content_length("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "+", "12a", "-5", " 12", "1 2", "18446744073709551616", "++1", "0x10", "1\t"})
    EXPECT_EQ(parse_content_length(bad), std::nullopt) << bad;
  EXPECT_EQ(parse_content_length("1\x80"), std::nullopt);
}

TEST(DownloadSingle, EnsureDownloadsOnceAndRenamesIntoPlace) {
  ScratchDir scratch;
  FakeHub hub;
  // Larger than the copy buffer, so the body is written in more than one piece.
  const std::string big = pattern_bytes(DOWNLOAD_BUFFER_BYTES + 12345, 1);
  hub.serve_file(REPO, "model.safetensors", FakeResponse::ok(big));
  hub.serve_file(REPO, "empty.txt", FakeResponse::ok(""));
  HfRepo repo = hub_repo(hub);

  auto path = repo.ensure("model.safetensors");
  ASSERT_TRUE(path) << path.error();
  EXPECT_EQ(*path, CACHE / "model.safetensors");
  EXPECT_TRUE(read_file(*path) == big);
  auto empty = repo.ensure("empty.txt");
  ASSERT_TRUE(empty) << empty.error();
  EXPECT_EQ(fs::file_size(*empty), 0u);
  EXPECT_EQ(cache_entries(), (std::vector<std::string>{"empty.txt", "model.safetensors"}));

  // Present files are returned without a request, whatever they hold.
  EXPECT_EQ(repo.ensure("model.safetensors"), *path);
  write_file(CACHE / "stale.bin", "");
  EXPECT_EQ(repo.ensure("stale.bin"), CACHE / "stale.bin");
  fs::create_directory(CACHE / "adir");
  EXPECT_EQ(repo.ensure("adir"), CACHE / "adir");
  auto batch = repo.ensure_batch({"stale.bin", "model.safetensors"});
  ASSERT_TRUE(batch) << batch.error();
  EXPECT_EQ(*batch, (std::vector<fs::path>{CACHE / "stale.bin", CACHE / "model.safetensors"}));
  EXPECT_EQ(hub.file_hits(REPO, "model.safetensors"), 1);
  EXPECT_EQ(hub.file_hits(REPO, "stale.bin"), 0);
  EXPECT_EQ(hub.file_hits(REPO, "adir"), 0);
  EXPECT_EQ(read_file(CACHE / "stale.bin"), "");
}

TEST(DownloadSingle, ContentLengthOnlySetsTheBarLength) {
  ScratchDir scratch;
  FakeHub hub;
  const std::string body = pattern_bytes(3000, 2);
  struct Case {
    const char* name;
    std::optional<const char*> header;  // none: no Content-Length at all
    uint64_t bar_length;
  };
  const Case cases[] = {{"missing.bin", std::nullopt, 0}, {"plus.bin", "+3000", 3000}, {"exact.bin", "3000", 3000},
                        {"junk.bin", "12a", 0},           {"negative.bin", "-5", 0},   {"word.bin", "many", 0},
                        {"huge.bin", "99999999999999999999999", 0}};
  for (const Case& c : cases) {
    FakeResponse response = FakeResponse::ok(body);
    response.length = c.header ? FakeResponse::Length::Given : FakeResponse::Length::Missing;
    response.given_length = c.header.value_or("");
    hub.serve_file(REPO, c.name, response);
  }
  HfRepo repo = hub_repo(hub);
  for (const Case& c : cases) {
    auto bar = silent_bar();
    DownloadRequest request{hub.base_url(), REPO, c.name, CACHE, temp_path_for(CACHE / c.name)};
    auto path = download_hf(request, *bar);
    // The whole body arrives even where libcurl alone would refuse the length
    // or cut the body at its numeric prefix.
    ASSERT_TRUE(path) << c.name << ": " << path.error();
    EXPECT_TRUE(read_file(*path) == body) << c.name;
    EXPECT_EQ(bar->length(), c.bar_length) << c.name;
    EXPECT_EQ(bar->position(), c.bar_length) << c.name;  // finished bars end at their length
    EXPECT_TRUE(bar->is_finished());
  }
  EXPECT_FALSE(fs::exists(CACHE / "missing.part"));
  EXPECT_EQ(hub.file_hits(REPO, "exact.bin"), 1);
  EXPECT_EQ(hub.file_hits(REPO, "missing.bin"), 1);
}

TEST(DownloadSingle, FailuresNameTheFileAndKeepOnlyThePartFile) {
  ScratchDir scratch;
  FakeHub hub;
  const std::string body = pattern_bytes(5000, 3);
  FakeResponse dropped = FakeResponse::ok(body);
  dropped.drop_after = 1700;
  hub.serve_file(REPO, "model-00001-of-00002.safetensors", dropped);
  hub.serve_file(REPO, "sub/x.bin", FakeResponse::ok("x"));
  HfRepo repo = hub_repo(hub);

  // 404: no file of any kind appears.
  auto missing = repo.ensure("gone.json");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "HTTP error for gone.json: http status: 404");
  EXPECT_TRUE(cache_entries().empty());

  // A connection dropped mid-body keeps what arrived in the part file only.
  auto cut = repo.ensure("model-00001-of-00002.safetensors");
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().rfind("read model-00001-of-00002.safetensors: ", 0), 0u) << cut.error();
  EXPECT_EQ(cache_entries(), std::vector<std::string>{"model-00001-of-00002.part"});
  EXPECT_TRUE(read_file(CACHE / "model-00001-of-00002.part") == body.substr(0, 1700));

  // The next attempt starts again from byte 0 and the part file goes.
  hub.serve_file(REPO, "model-00001-of-00002.safetensors", FakeResponse::ok(body));
  auto again = repo.ensure("model-00001-of-00002.safetensors");
  ASSERT_TRUE(again) << again.error();
  EXPECT_TRUE(read_file(*again) == body);
  EXPECT_EQ(cache_entries(), std::vector<std::string>{"model-00001-of-00002.safetensors"});
  EXPECT_EQ(hub.file_hits(REPO, "model-00001-of-00002.safetensors"), 2);

  // No directory is made for a name below one.
  auto nested = repo.ensure("sub/x.bin");
  ASSERT_FALSE(nested);
  EXPECT_EQ(nested.error(), "create sub/x.bin: No such file or directory (os error 2)");
  fs::create_directory(CACHE / "sub");
  auto made = repo.ensure("sub/x.bin");
  ASSERT_TRUE(made) << made.error();
  EXPECT_EQ(read_file(*made), "x");

  // Nothing listens: the request itself fails.
  HfRepo offline = testing_support::quietly([] { return HfRepo::from_hf(REPO, testing::closed_loopback_url()); }).value();
  auto refused = offline.ensure("config.json");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().rfind("HTTP error for config.json: ", 0), 0u) << refused.error();
  EXPECT_FALSE(fs::exists(CACHE / "config.part"));
}

TEST(DownloadBatch, ResultsFollowRequestOrderAndEveryThreadFinishes) {
  ScratchDir scratch;
  FakeHub hub;
  FakeResponse slow_c = FakeResponse::ok(pattern_bytes(2000, 4));
  slow_c.delay = 300ms;
  hub.serve_file(REPO, "a", FakeResponse::ok("A"));
  hub.serve_file(REPO, "c", slow_c);
  HfRepo repo = hub_repo(hub);

  // b fails at once, c finishes later: b's error, and c is there afterwards.
  auto started = std::chrono::steady_clock::now();
  auto result = repo.ensure_batch({"a", "b", "c"});
  auto took = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "HTTP error for b: http status: 404");
  EXPECT_GE(took, 300ms);
  EXPECT_TRUE(read_file(CACHE / "c") == pattern_bytes(2000, 4));
  EXPECT_EQ(read_file(CACHE / "a"), "A");

  // Two failures: the first in request order wins, even when it ends last.
  FakeResponse slow_404;
  slow_404.status = 404;
  slow_404.delay = 200ms;
  hub.serve_file(REPO, "late", slow_404);
  auto both = repo.ensure_batch({"late", "early"});
  ASSERT_FALSE(both);
  EXPECT_EQ(both.error(), "HTTP error for late: http status: 404");

  // Success: paths in request order, whatever order the downloads end in.
  FakeResponse slow_first = FakeResponse::ok("first");
  slow_first.delay = 150ms;
  hub.serve_file(REPO, "first.bin", slow_first);
  hub.serve_file(REPO, "second.bin", FakeResponse::ok("second"));
  auto ok = repo.ensure_batch({"first.bin", "second.bin"});
  ASSERT_TRUE(ok) << ok.error();
  EXPECT_EQ(*ok, (std::vector<fs::path>{CACHE / "first.bin", CACHE / "second.bin"}));
  EXPECT_EQ(read_file(CACHE / "first.bin"), "first");

  EXPECT_EQ(repo.ensure_batch({}), std::vector<fs::path>{});
  EXPECT_EQ(cache_entries(), (std::vector<std::string>{"a", "c", "first.bin", "second.bin"}));
}

TEST(DownloadBatch, RequestsSharingATemporaryNameDoNotCollide) {
  ScratchDir scratch;
  FakeHub hub;
  // Bodies big enough and slow enough that the downloads overlap.
  const std::string json = pattern_bytes(300000, 5), model = pattern_bytes(400000, 6);
  FakeResponse json_r = FakeResponse::ok(json), model_r = FakeResponse::ok(model);
  json_r.delay = model_r.delay = 100ms;
  hub.serve_file(REPO, "tokenizer.json", json_r);
  hub.serve_file(REPO, "tokenizer.model", model_r);
  hub.serve_file(REPO, "w.part", FakeResponse::ok("not a temporary"));
  hub.serve_file(REPO, "w.bin", FakeResponse::ok(pattern_bytes(100000, 7)));
  HfRepo repo = hub_repo(hub);

  auto paths = repo.ensure_batch({"tokenizer.json", "tokenizer.model", "tokenizer.json", "w.part", "w.bin"});
  ASSERT_TRUE(paths) << paths.error();
  EXPECT_TRUE(read_file(CACHE / "tokenizer.json") == json);
  EXPECT_TRUE(read_file(CACHE / "tokenizer.model") == model);
  EXPECT_EQ(read_file(CACHE / "w.part"), "not a temporary");
  EXPECT_TRUE(read_file(CACHE / "w.bin") == pattern_bytes(100000, 7));
  EXPECT_EQ(hub.file_hits(REPO, "tokenizer.json"), 2);
  EXPECT_EQ(cache_entries(),
            (std::vector<std::string>{"tokenizer.json", "tokenizer.model", "w.bin", "w.part"}));
}

TEST(DownloadLocal, LocalHandlesReportTheJoinedPath) {
  ScratchDir scratch;
  fs::create_directories("models/m/sub");
  write_file("models/m/present", "p");
  write_file("models/m/sub/deep", "d");
  HfRepo repo = HfRepo::local("models/m");

  EXPECT_EQ(repo.ensure("present"), fs::path("models/m/present"));
  EXPECT_EQ(repo.ensure("sub/deep"), fs::path("models/m/sub/deep"));
  EXPECT_EQ(repo.ensure("absent.bin").error(), "file not found: models/m/absent.bin");
  EXPECT_EQ(repo.ensure_batch({"present", "sub/deep"}),
            (std::vector<fs::path>{"models/m/present", "models/m/sub/deep"}));
  EXPECT_EQ(repo.ensure_batch({"present", "m1", "m2"}).error(), "file not found: models/m/m1");
  EXPECT_EQ(repo.ensure_batch({}), std::vector<fs::path>{});
  EXPECT_EQ(HfRepo::local("models/m/").ensure("x").error(), "file not found: models/m/x");
}

}  // namespace
}  // namespace varkel
