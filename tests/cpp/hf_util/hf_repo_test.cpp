// Repository handles: cache directory, hub listings and sizes against a fake
// hub on loopback, local directories, name checks.

#include "hf_util/hf_repo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/test_files.h"
#include "hf_util/fake_hub.h"

namespace varkel {
namespace {

namespace fs = std::filesystem;
using testing::FakeHub;
using testing::FakeResponse;
using testing::hub_repo;
using testing_support::capture_stderr;
using testing_support::quietly;
using testing_support::write_file;
using ScratchDir = testing_support::ScratchCwd;

using Names = std::vector<std::string>;

TEST(HfRepoHandle, FromHfPrintsNoticeAndCreatesCacheDirectory) {
  ScratchDir scratch;
  auto [repo, printed] = capture_stderr([] { return HfRepo::from_hf("org/name"); });
  ASSERT_TRUE(repo) << repo.error();
  EXPECT_EQ(printed, "  Input 'org/name' not found locally \xE2\x80\x94 treating as HF repo ID\n");
  EXPECT_TRUE(repo->is_hf());
  EXPECT_EQ(repo->repo_id(), std::optional<std::string>("org/name"));
  EXPECT_EQ(repo->path(), fs::path("hub/models--org--name"));
  EXPECT_EQ(repo->base_url(), HF_BASE_URL);
  EXPECT_TRUE(fs::is_directory(scratch.path() / "hub/models--org--name"));

  // Again with the same id: fine, and the notice comes again.
  const auto again = capture_stderr([] { return HfRepo::from_hf("org/name"); });
  EXPECT_TRUE(again.first);
  EXPECT_EQ(again.second, printed);

  const auto deep = quietly([] { return HfRepo::from_hf("a/b/c"); });
  const auto flat = quietly([] { return HfRepo::from_hf("plain"); });
  ASSERT_TRUE(deep && flat);
  EXPECT_EQ(deep->path(), fs::path("hub/models--a--b--c"));
  EXPECT_EQ(flat->path(), fs::path("hub/models--plain"));
  EXPECT_TRUE(fs::is_directory("hub/models--a--b--c"));
  EXPECT_TRUE(fs::is_directory("hub/models--plain"));

  // A file where the directory should go: the I/O error's text, nothing else.
  write_file("hub/models--taken", "x");
  EXPECT_EQ(quietly([] { return HfRepo::from_hf("taken"); }).error(), "File exists (os error 17)");

  HfRepo local = HfRepo::local("some/dir");
  EXPECT_FALSE(local.is_hf());
  EXPECT_EQ(local.path(), fs::path("some/dir"));
}

TEST(HfRepoHub, LsTakesImmediateChildrenOfTheListing) {
  ScratchDir scratch;
  FakeHub hub;
  hub.serve_tree("t/root", R"([{"path":"config.json","type":"file","size":3},
                               {"path":"weights","type":"directory"},
                               {"path":"weights/a.bin","type":"file","size":1},
                               {"type":"file","path":7}])");
  hub.serve_tree("t/near", R"([{"path":"weights","type":"directory"},{"path":"weightsx.bin","type":"file"}])");
  hub.serve_tree("t/nested", R"([{"path":"weights/a.bin"},{"path":"weights/sub/b.bin"},{"path":"weights/sub/c.bin"}])");
  hub.serve_tree("t/odd", R"([{"path":"d//x"},{"path":"d/"},{"path":"Zeta"},{"path":"alpha"}])");
  HfRepo root = hub_repo(hub, "t/root"), near = hub_repo(hub, "t/near"), nested = hub_repo(hub, "t/nested"),
         odd = hub_repo(hub, "t/odd");

  EXPECT_EQ(root.ls(), (Names{"config.json", "weights"}));
  EXPECT_EQ(root.ls(""), (Names{"config.json", "weights"}));
  EXPECT_EQ(root.ls("weights"), (Names{"a.bin"}));
  EXPECT_EQ(near.ls("weights"), Names{});
  EXPECT_EQ(nested.ls("weights"), (Names{"a.bin", "sub"}));
  EXPECT_EQ(nested.ls("weights/sub"), (Names{"b.bin", "c.bin"}));
  // "d//x" leaves "/x" under d: the empty name; "d/" leaves nothing.
  EXPECT_EQ(odd.ls("d"), Names{""});
  EXPECT_EQ(odd.ls(), (Names{"Zeta", "alpha", "d"}));
  // Every call asks again: nothing is cached.
  EXPECT_EQ(hub.hits("/api/models/t/root/tree/main"), 3);
}

TEST(HfRepoHub, FileSizeAndFileSizesReadUsableEntriesOnly) {
  ScratchDir scratch;
  FakeHub hub;
  hub.serve_tree("t/sizes", R"([
    {"path":"b.bin","type":"file","size":5},
    {"path":"weights","type":"directory","size":0},
    {"path":"a.bin","type":"file","size":7},
    {"path":"neg.bin","type":"file","size":-1},
    {"path":"frac.bin","type":"file","size":2.5},
    {"type":"file","size":9},
    {"path":"dir","type":"directory"},
    {"path":"dup","type":"file"},
    {"path":"dup","type":"file","size":4},
    {"path":"a.bin","type":"file","size":2},
    {"path":"big","type":"file","size":18446744073709551615},
    {"path":"untyped","size":3}
  ])");
  HfRepo repo = hub_repo(hub, "t/sizes");

  EXPECT_EQ(repo.file_size("b.bin"), 5u);
  EXPECT_EQ(repo.file_size("a.bin"), 7u);  // first match in listing order
  EXPECT_EQ(repo.file_size("big"), UINT64_MAX);
  EXPECT_EQ(repo.file_size("weights"), 0u);  // the type is not looked at
  EXPECT_EQ(repo.file_size("untyped"), 3u);
  for (const char* missing : {"dir", "neg.bin", "frac.bin", "dup", "weights/a.bin", "nothing"}) {
    auto size = repo.file_size(missing);
    ASSERT_FALSE(size) << missing;
    EXPECT_EQ(size.error(), std::string("file not found in tree: ") + missing);
  }

  auto sizes = repo.file_sizes();
  ASSERT_TRUE(sizes) << sizes.error();
  std::vector<FileSize> expected = {{"a.bin", 2}, {"a.bin", 7}, {"b.bin", 5}, {"big", UINT64_MAX}, {"dup", 4}};
  EXPECT_EQ(*sizes, expected);
}

TEST(HfRepoHub, ListingFailuresCarryTheirPrefixes) {
  ScratchDir scratch;
  FakeHub hub;
  hub.serve_tree("t/object", R"({"path":"x"})");
  hub.serve_tree("t/string", "  \n \"text\"");
  hub.serve_tree("t/broken", "[{\"path\":");
  hub.serve_tree("t/latin1", "[\"\xE9\"]");
  hub.serve_tree("t/limit", "[" + std::string(10'485'760, ' ') + "]");
  hub.serve_tree("t/atlimit", "[" + std::string(10'485'758, ' ') + "]");
  FakeResponse cut;
  cut.body = "[{\"path\":\"a\"}]";
  cut.drop_after = 5;
  hub.serve("/api/models/t/cut/tree/main", cut);

  const std::pair<const char*, const char*> failures[] = {
      {"t/missing", "HF API error: http status: 404"},  // no route: the fake hub answers 404
      {"t/object", "invalid type: map, expected a sequence at line 1 column 1"},
      {"t/string", "invalid type: string \"text\", expected a sequence at line 2 column 2"},
      {"t/latin1", "read API response: stream did not contain valid UTF-8"},
      {"t/limit", "read API response: response body is larger than the limit of 10485760 bytes"},
  };
  for (const auto& [repo, message] : failures) {
    auto listing = fetch_tree(repo, hub.base_url());
    ASSERT_FALSE(listing) << repo;
    EXPECT_EQ(listing.error(), message);
  }
  auto broken = fetch_tree("t/broken", hub.base_url());
  ASSERT_FALSE(broken);
  EXPECT_NE(broken.error().find("parse error"), std::string::npos) << broken.error();
  EXPECT_EQ(broken.error().find("read API response"), std::string::npos);
  auto at_limit = fetch_tree("t/atlimit", hub.base_url());
  ASSERT_TRUE(at_limit) << at_limit.error();
  EXPECT_TRUE(at_limit->empty());
  auto dropped = fetch_tree("t/cut", hub.base_url());
  ASSERT_FALSE(dropped);
  EXPECT_EQ(dropped.error().rfind("read API response: ", 0), 0u) << dropped.error();

  auto refused = fetch_tree("t/any", testing::closed_loopback_url());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().rfind("HF API error: ", 0), 0u) << refused.error();

  // The handle's operations hand the listing's message on unchanged.
  HfRepo missing = hub_repo(hub, "t/missing");
  EXPECT_EQ(missing.ls().error(), "HF API error: http status: 404");
  EXPECT_EQ(missing.file_size("x").error(), "HF API error: http status: 404");
  EXPECT_EQ(missing.file_sizes().error(), "HF API error: http status: 404");
}

TEST(HfRepoLocal, ListsSizesAndRemovesInTheDirectory) {
  ScratchDir scratch;
  fs::create_directories("repo/a/deeper");
  write_file("repo/a/x", "abc");
  write_file("repo/b", "12345");
  write_file("repo/.hidden", "");
  write_file("repo/Upper", "u");
  write_file("repo/a/deeper/z.part", "zz");
  write_file("outside.bin", "keep me");
  fs::create_symlink("b", "repo/link");
  fs::create_symlink("missing-target", "repo/dangling");
  HfRepo repo = HfRepo::local("repo");

  EXPECT_EQ(repo.ls(), (Names{".hidden", "Upper", "a", "b", "dangling", "link"}));
  EXPECT_EQ(repo.ls(""), repo.ls());
  EXPECT_EQ(repo.ls("a"), (Names{"deeper", "x"}));
  EXPECT_EQ(repo.ls("nope").error(), "No such file or directory (os error 2)");
  EXPECT_EQ(repo.ls("b").error(), "Not a directory (os error 20)");

  EXPECT_EQ(repo.file_size("a/x"), 3u);
  EXPECT_EQ(repo.file_size("link"), 5u);  // symbolic links are followed here
  EXPECT_EQ(repo.file_size("dangling").error(), "No such file or directory (os error 2)");

  auto sizes = repo.file_sizes();
  ASSERT_TRUE(sizes) << sizes.error();
  std::vector<FileSize> expected = {{".hidden", 0}, {"Upper", 1}, {"a/deeper/z.part", 2}, {"a/x", 3}, {"b", 5}};
  EXPECT_EQ(*sizes, expected);

  std::vector<FileSize> walked;
  ASSERT_TRUE(walk_sizes("repo", "repo/a", walked));
  std::sort(walked.begin(), walked.end());
  EXPECT_EQ(walked, (std::vector<FileSize>{{"a/deeper/z.part", 2}, {"a/x", 3}}));
  std::vector<FileSize> none;
  auto failed = walk_sizes("repo", "repo/absent", none);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().to_string(), "No such file or directory (os error 2)");
  EXPECT_EQ(HfRepo::local("absent").file_sizes().error(), "No such file or directory (os error 2)");

  // Names that are not UTF-8 come back with U+FFFD in place of each bad run.
  fs::create_directory("raw");
  write_file("raw/ok\xE2\x82", "12");
  write_file("raw/a\xFF\xFE" "b", "1");
  HfRepo raw = HfRepo::local("raw");
  EXPECT_EQ(raw.ls(), (Names{"a\uFFFD\uFFFDb", "ok\uFFFD"}));
  EXPECT_EQ(raw.file_sizes(), (std::vector<FileSize>{{"a\uFFFD\uFFFDb", 1}, {"ok\uFFFD", 2}}));

  repo.remove("never-there");
  repo.remove("a/deeper");  // a directory stays
  EXPECT_TRUE(fs::is_directory("repo/a/deeper"));
  repo.remove("../outside.bin");  // refused quietly
  EXPECT_TRUE(fs::exists("outside.bin"));
  repo.remove("link");  // the link goes, its target stays
  EXPECT_FALSE(fs::is_symlink("repo/link"));
  EXPECT_TRUE(fs::exists("repo/b"));
  repo.remove("a/x");
  EXPECT_FALSE(fs::exists("repo/a/x"));
}

TEST(HfRepoNames, NamesLeavingTheRepositoryAreRefusedBeforeAnyWork) {
  ScratchDir scratch;
  FakeHub hub;
  hub.serve_file("t/names", "ok.bin", FakeResponse::ok("fine"));
  HfRepo repo = hub_repo(hub, "t/names");
  write_file("secret", "s");
  HfRepo local = HfRepo::local("hub");

  for (const char* bad : {"", "/etc/passwd", "..", "../secret", "a/../../secret", "a/..", "../../x/"}) {
    auto one = repo.ensure(bad);
    ASSERT_FALSE(one) << bad;
    EXPECT_EQ(one.error().rfind("invalid file name \"", 0), 0u) << one.error();
    auto batch = repo.ensure_batch({"ok.bin", bad});
    ASSERT_FALSE(batch) << bad;
    EXPECT_EQ(batch.error(), one.error());
    EXPECT_FALSE(local.ensure(bad)) << bad;
    EXPECT_FALSE(local.file_size(bad)) << bad;
  }
  EXPECT_EQ(repo.ensure("").error(), "invalid file name \"\": the name is empty");
  EXPECT_EQ(repo.ensure("/abs").error(), "invalid file name \"/abs\": absolute paths are not allowed");
  EXPECT_EQ(repo.ensure("x/../y").error(), "invalid file name \"x/../y\": \"..\" would leave the repository");
  // The OS would see "secret" for "secret\0.bin".
  EXPECT_EQ(local.ensure(std::string("secret\0.bin", 11)).error(),
            "invalid file name \"secret\\0.bin\": the name contains a NUL byte");
  EXPECT_FALSE(local.ls("../"));
  // Refused before any request or file operation.
  EXPECT_EQ(hub.total_hits(), 0);
  EXPECT_FALSE(fs::exists("hub/models--t--names/ok.bin"));

  // Dots inside a name are ordinary characters.
  for (const char* fine : {"..x", "x..", "a/.../b", "./a", "a.b"}) EXPECT_TRUE(check_file_name(fine)) << fine;
}

}  // namespace
}  // namespace varkel
