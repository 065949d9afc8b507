// Repository handles against a fake hub on loopback: listings, sizes, name checks.

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
using Names = std::vector<std::string>;

TEST(HfRepoHub, FileSizesReadUsableEntriesOnly) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  hub.serve_tree("t/sizes", R"([{"path":"b.bin","type":"file","size":5},{"path":"a.bin","type":"file","size":7},
    {"path":"neg.bin","type":"file","size":-1},{"path":"frac.bin","size":2.5},{"type":"file","size":9},
    {"path":"dup","type":"file"},{"path":"dup","type":"file","size":4},{"path":"a.bin","type":"file","size":2},
    {"path":"big","type":"file","size":18446744073709551615},{"path":"untyped","size":3}])");
  HfRepo repo = hub_repo(hub, "t/sizes");
  EXPECT_EQ(repo.file_size("a.bin"), 7u);  // first match in listing order
  EXPECT_EQ(repo.file_size("big"), UINT64_MAX);
  EXPECT_EQ(repo.file_size("untyped"), 3u);  // the type matters only to file_sizes
  for (const char* missing : {"neg.bin", "frac.bin", "dup", "nothing"})
    EXPECT_EQ(repo.file_size(missing).error(), std::string("file not found in tree: ") + missing);
  EXPECT_EQ(repo.file_sizes(),
            (std::vector<FileSize>{{"a.bin", 2}, {"a.bin", 7}, {"b.bin", 5}, {"big", UINT64_MAX}, {"dup", 4}}));
}

TEST(HfRepoHub, ListingFailuresCarryTheirPrefixes) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  hub.serve_tree("t/object", R"({"path":"x"})");
  hub.serve_tree("t/string", "  \n \"text\"");
  hub.serve_tree("t/latin1", "[\"\xE9\"]");
  hub.serve_tree("t/limit", "[" + std::string(10'485'760, ' ') + "]");
  hub.serve_tree("t/atlimit", "[" + std::string(10'485'758, ' ') + "]");
  hub.serve("/api/models/t/cut/tree/main", FakeResponse::dropped("[{\"path\":\"a\"}]", 5));
  const std::pair<const char*, const char*> failures[] = {
      {"t/missing", "HF API error: http status: 404"},
      {"t/object", "invalid type: map, expected a sequence at line 1 column 1"},
      {"t/string", "invalid type: string \"text\", expected a sequence at line 2 column 2"},
      {"t/latin1", "read API response: stream did not contain valid UTF-8"},
      {"t/limit", "read API response: response body is larger than the limit of 10485760 bytes"},
  };
  for (const auto& [repo, message] : failures) EXPECT_EQ(fetch_tree(repo, hub.base_url()).error(), message);
  auto at_limit = fetch_tree("t/atlimit", hub.base_url());
  ASSERT_TRUE(at_limit) << at_limit.error();
  EXPECT_TRUE(at_limit->empty());
  EXPECT_EQ(fetch_tree("t/cut", hub.base_url()).error().rfind("read API response: ", 0), 0u);
  EXPECT_EQ(hub_repo(hub, "t/missing").file_sizes().error(), "HF API error: http status: 404");
  // A part of the listing, or none, is not the listing, even when it parses.
  const std::tuple<const char*, const char*, const char*> not_whole[] = {
      {"t/partial", "HTTP/1.1 206 Partial Content\r\nContent-Length: 2\r\n\r\n[]", "HF API error: http status: 206"},
      {"t/empty", "HTTP/1.1 204 No Content\r\n\r\n", "HF API error: http status: 204"},
  };
  for (const auto& [repo, response, message] : not_whole) {
    hub.serve(fmt::format("/api/models/{}/tree/main", repo), FakeResponse::verbatim(response));
    auto got = fetch_tree(repo, hub.base_url());
    EXPECT_EQ(got ? "a listing" : got.error(), message);
  }
}

TEST(HfRepoNames, NamesLeavingTheRepositoryOrNamingADirectoryAreRefusedBeforeAnyWork) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  hub.serve_file("t/names", "ok.bin", FakeResponse::ok("fine"));
  HfRepo repo = hub_repo(hub, "t/names");
  testing_support::write_file("secret", "s");
  HfRepo local = HfRepo::local("hub");
  // Names of directories, which exist, must not come back as files.
  fs::create_directories("hub/models--t--names/sub");
  fs::create_directories("hub/sub");
  for (const char* bad : {"", "/etc/passwd", "..", "a/../../secret", "a/..", "../../x/", ".", "./", ".//.", "sub/",
                          "sub/.", "./sub//"}) {
    auto one = repo.ensure(bad);
    ASSERT_FALSE(one) << bad;
    EXPECT_EQ(one.error().rfind("invalid file name \"", 0), 0u) << one.error();
    EXPECT_EQ(repo.ensure_batch({"ok.bin", bad}).error(), one.error());
    EXPECT_FALSE(local.ensure(bad)) << bad;
  }
  EXPECT_EQ(repo.ensure("/abs").error(), "invalid file name \"/abs\": absolute paths are not allowed");
  EXPECT_EQ(repo.ensure("x/../y").error(), "invalid file name \"x/../y\": \"..\" would leave the repository");
  EXPECT_EQ(local.ensure(std::string("secret\0.bin", 11)).error(),
            "invalid file name \"secret\\0.bin\": the name contains a NUL byte");
  EXPECT_EQ(repo.ensure("./.").error(), "invalid file name \"./.\": the name is the repository directory");
  EXPECT_EQ(repo.ensure_batch({"sub/"}).error(), "invalid file name \"sub/\": the name ends in a directory");
  EXPECT_EQ(local.ls("."), local.ls());  // a directory to list may be the root
  EXPECT_EQ(hub.total_hits(), 0);
  EXPECT_FALSE(fs::exists("hub/models--t--names/ok.bin"));
  for (const char* fine : {"..x", "a/.../b", "./a"}) EXPECT_TRUE(check_file_name(fine)) << fine;
}

TEST(HfRepoNames, AFinalPathThatIsNoRegularFileIsRefusedAndNothingIsFetched) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  hub.serve_file("t/kinds", "ok.bin", FakeResponse::ok("fine"));
  HfRepo repo = hub_repo(hub, "t/kinds");
  const fs::path cache = repo.path();
  fs::create_directories(cache / "sub/inner");
  fs::create_directory_symlink("sub", cache / "dir-link");
  ASSERT_EQ(::mkfifo((cache / "pipe").c_str(), 0600), 0);
  testing_support::write_file(cache / "sub/file.bin", "in sub");
  fs::create_symlink("sub/file.bin", cache / "file-link");
  HfRepo local = HfRepo::local(cache);
  for (const HfRepo* handle : {&repo, &local}) {
    for (const char* name : {"sub", "sub/inner", "dir-link", "pipe"}) {
      SCOPED_TRACE(name);
      const std::string refused = "not a regular file: " + (cache / name).string();
      auto single = handle->ensure(name);
      EXPECT_EQ(single ? "a path" : single.error(), refused);
      auto batch = handle->ensure_batch({"sub/file.bin", name});
      EXPECT_EQ(batch ? "paths" : batch.error(), refused);
    }
    // A link to a regular file is that file.
    EXPECT_EQ(handle->ensure_batch({"sub/file.bin", "file-link"}),
              (std::vector<fs::path>{cache / "sub/file.bin", cache / "file-link"}));
  }
  EXPECT_EQ(hub.total_hits(), 0);
}

}  // namespace
}  // namespace varkel
