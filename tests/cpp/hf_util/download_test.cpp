// Downloads against the fake hub: present files, dropped bodies, response
// framing, names, stalls, interrupts, batches.

#include "hf_util/download.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <map>

#include "common/test_files.h"
#include "hf_util/fake_hub.h"
#include "hf_util/part_file.h"

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

const std::string OK_LINE = "HTTP/1.1 200 OK\r\n";
// "0123456789abcdef" in gzip.
const std::string GZIPPED_BODY(
    "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\x33\x30\x34\x32\x36\x31\x35\x33\xb7\xb0\x4c\x4c\x4a\x4e\x49\x4d"
    "\x03\x00\x33\xf0\xc4\x68\x10\x00\x00\x00",
    36);
constexpr std::chrono::seconds HELD{3};

HubResult<fs::path> fetch(const FakeHub& hub, const std::string& name, progress::ProgressBar& bar,
                          const TransferControl& control = {}) {
  return download_hf({hub.base_url(), REPO, name, CACHE}, bar, control);
}

// The cache's entries while the body of `name` (in the cache's root) waits under its temporary name.
std::vector<std::string> with_temporary_of(const std::string& name) {
  return {PARTIAL_DIR, std::string(PARTIAL_DIR) + "/" + name};
}

std::vector<std::string> cache_entries() {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(CACHE))
    names.push_back(e.path().lexically_relative(CACHE).generic_string());
  std::ranges::sort(names);
  return names;
}

TEST(DownloadNames, TemporariesAreDistinctFromEachOtherAndNoRepositoryName) {
  EXPECT_EQ(partial_path_for("d/x.tar.gz"), fs::path("d/.varkel-partial/x.tar.gz"));
  const std::vector<std::string> names = {"tokenizer.json", "tokenizer.model", "x.bin", "y.part", "y.bin", "s/y.bin"};
  std::set<fs::path> seen;
  for (const auto& name : names) {
    const fs::path temp = partial_path_for(fs::path("d") / name);
    EXPECT_TRUE(seen.insert(temp).second) << temp;
    // On the destination's own directory, so the rename stays on one file system.
    EXPECT_EQ(temp.parent_path().parent_path(), (fs::path("d") / name).parent_path()) << temp;
    // Never a name a repository file can have, so never one that ensure answers with.
    const std::string relative = temp.lexically_relative("d").generic_string();
    EXPECT_EQ(check_file_name(relative).error(),
              fmt::format("invalid file name \"{}\": the directory \".varkel-partial\" holds partial downloads",
                          relative));
  }
  for (const char* reserved : {".varkel-partial", "a/.Varkel-Partial/b", ".VARKEL-PARTIAL/x"})
    EXPECT_FALSE(check_file_name(reserved)) << reserved;
  for (const char* fine : {".varkel-partial.bin", "a/x.varkel-partial", "varkel-partial/x"})
    EXPECT_TRUE(check_file_name(fine)) << fine;
}

TEST(DownloadNames, EachSegmentIsRequestedWithBytesOutsideTheUnreservedSetPercentEncoded) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  const std::pair<std::string, std::string> names[] = {
      {"with blank.bin", "with%20blank.bin"},
      {"a+b&c=d;e,f'(g)*!$.bin", "a%2Bb%26c%3Dd%3Be%2Cf%27%28g%29%2A%21%24.bin"},
      {"q?x#y%z.bin", "q%3Fx%23y%25z.bin"},
      {"\xC3\xBCn\x7F\t.json", "%C3%BCn%7F%09.json"},
      {"sub dir/[x]:@.bin", "sub%20dir/%5Bx%5D%3A%40.bin"},
      {"Az09-._~.bin", "Az09-._~.bin"},
  };
  std::vector<std::string> requested;
  for (const auto& [name, encoded] : names) {
    hub.serve_file(REPO, encoded, FakeResponse::ok("body of " + name));
    requested.push_back(name);
  }
  HfRepo repo = testing::hub_repo(hub, REPO);
  fs::create_directory(CACHE / "sub dir");
  auto paths = repo.ensure_batch(requested);
  ASSERT_TRUE(paths) << paths.error();
  for (const auto& [name, encoded] : names) EXPECT_EQ(read_file(CACHE / name), "body of " + name) << encoded;
  EXPECT_EQ(hub.total_hits(), static_cast<int>(std::size(names)));
}

TEST(DownloadFraming, OnlyTheFinalResponseFramesTheBodyAndABrokenHeadFails) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  const std::string body = "0123456789abcdef", head = OK_LINE + "Content-Length: ";
  struct Case {
    std::string name;
    std::string response;      // verbatim
    bool held;                 // the connection stays open after it
    bool redirected;           // reached through a redirect on a kept-alive connection
    std::string file_or_error;
    bool fails;
    std::optional<uint64_t> bar_length;
  };
  const Case cases[] = {
      {"cut-in-head.bin", OK_LINE + "Content-Lengt", false, false,
       "HTTP error for cut-in-head.bin: connection closed before the response headers were complete", true, {}},
      // A length that does not parse cannot frame the body: a cut one would pass as whole.
      {"suffix.bin", head + "12a\r\n\r\n" + body, false, true,
       "HTTP error for suffix.bin: invalid content-length: 12a", true, {}},
      {"negative.bin", head + "-5\r\n\r\n" + body, false, false,
       "HTTP error for negative.bin: invalid content-length: -5", true, {}},
      {"announced.bin", head + "1000x\r\n\r\n" + body.substr(0, 5), false, false,
       "HTTP error for announced.bin: invalid content-length: 1000x", true, {}},
      {"overflow.bin", head + "18446744073709551616\r\n\r\n" + body, false, false,
       "HTTP error for overflow.bin: invalid content-length: 18446744073709551616", true, {}},
      {"blank-length.bin", head + "\r\n\r\n" + body, false, false,
       "HTTP error for blank-length.bin: invalid content-length: ", true, {}},
      {"list.bin", head + "16, ,16\r\n\r\n" + body, true, false, body, false, 16},
      {"list-differs.bin", head + "16, 5\r\n\r\n" + body, false, false,
       "HTTP error for list-differs.bin: invalid content-length: 16, 5", true, {}},
      {"chunked-bad-length.bin", OK_LINE + "Transfer-Encoding: chunked\r\nContent-Length: 1000x\r\n\r\n10\r\n" +
           body + "\r\n0\r\n\r\n",
       true, false, body, false, 0},
      // Codings never asked for: a transfer coding fails, a content coding is the file as sent.
      {"gzip.bin", OK_LINE + "Transfer-Encoding: gzip\r\n\r\n" + GZIPPED_BODY, false, false,
       "HTTP error for gzip.bin: unsupported transfer coding: gzip", true, {}},
      {"gzip-chunked.bin", OK_LINE + "Transfer-Encoding: gzip\r\nTransfer-Encoding: Chunked\r\n\r\n24\r\n" +
           GZIPPED_BODY + "\r\n0\r\n\r\n",
       false, false, "HTTP error for gzip-chunked.bin: unsupported transfer coding: gzip, chunked", true, {}},
      {"content-coded.bin", OK_LINE + "Content-Encoding: gzip\r\nContent-Length: 36\r\n\r\n" + GZIPPED_BODY, true,
       false, GZIPPED_BODY, false, 36},
      // Statuses that carry no file.
      {"no-location.bin", "HTTP/1.1 302 Found\r\n" + std::string("Content-Length: 16\r\n\r\n") + body, false, false,
       "HTTP error for no-location.bin: http status: 302", true, {}},
      {"blank-location.bin", "HTTP/1.1 301 Moved\r\nLocation: \r\nContent-Length: 16\r\n\r\n" + body, false, false,
       "HTTP error for blank-location.bin: http status: 301", true, {}},
      {"status-600.bin", "HTTP/1.1 600 Odd\r\nContent-Length: 16\r\n\r\n" + body, false, false,
       "HTTP error for status-600.bin: http status: 600", true, {}},
      {"status-999.bin", "HTTP/1.1 999 Odd\r\nContent-Length: 16\r\n\r\n" + body, false, false,
       "HTTP error for status-999.bin: http status: 999", true, {}},
      {"differing.bin", head + "16\r\nContent-Length: 5\r\n\r\n" + body, false, false,
       "HTTP error for differing.bin: differing content-length headers: 16 and 5", true, {}},
      {"repeated.bin", head + "16\r\ncontent-length: +16\r\n\r\n" + body, false, false, body, false, 16},
      {"kept-alive.bin", head + "16\r\n\r\n" + body, true, true, body, false, 16},
      {"empty.bin", head + "0\r\n\r\n", true, false, "", false, 0},
      {"chunked.bin", OK_LINE + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n10\r\n" + body + "\r\n0\r\n" +
           "Content-Length: 7\r\n\r\n",
       true, false, body, false, 3},
      {"longer.bin", head + "4\r\n\r\n" + body, false, false, body.substr(0, 4), false, 4},
      {"shorter.bin", head + "20\r\n\r\n" + body, false, false,
       "read shorter.bin: transfer closed with 4 bytes remaining to read", true, 20},
      // Header lines named like a status line are headers: they start no new block.
      {"http-named.bin", head + "1000\r\nhttp/x: y\r\n\r\n" + body.substr(0, 5), false, false,
       "read http-named.bin: transfer closed with 995 bytes remaining to read", true, 1000},
      {"status-named.bin", head + "1000\r\nHTTP/1.1: 200\r\n\r\n" + body.substr(0, 5), false, true,
       "read status-named.bin: transfer closed with 995 bytes remaining to read", true, 1000},
      {"status-named-coding.bin", OK_LINE + "Transfer-Encoding: gzip\r\nHTTP/1.1: 200\r\n\r\n" + GZIPPED_BODY,
       false, false, "HTTP error for status-named-coding.bin: unsupported transfer coding: gzip", true, {}},
      // A line of blanks continues the field before it; it does not end the head.
      {"folded-blank.bin", OK_LINE + "X: a\r\n \r\nContent-Length: 1000\r\n\r\n" + body.substr(0, 5), false, false,
       "read folded-blank.bin: transfer closed with 995 bytes remaining to read", true, 1000},
      // libcurl decodes the transfer without a folded framing field: no guess, no framing bytes in a file.
      {"folded-length.bin", head + "1\r\n\t000\r\n\r\n" + body.substr(0, 5), false, false,
       "HTTP error for folded-length.bin: folded content-length header", true, {}},
      {"folded-coding.bin", OK_LINE + "Transfer-Encoding:\r\n chunked\r\n\r\n10\r\n" + body + "\r\n0\r\n\r\n",
       false, true, "HTTP error for folded-coding.bin: folded transfer-encoding header", true, {}},
      // Only a 200 is the whole file: we ask for no range and accept no empty answer.
      {"partial.bin", "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/16\r\nContent-Length: 5\r\n\r\n" +
           body.substr(0, 5),
       true, false, "HTTP error for partial.bin: http status: 206", true, {}},
      {"partial-redirected.bin", "HTTP/1.1 206 Partial Content\r\nContent-Length: 16\r\n\r\n" + body, true, true,
       "HTTP error for partial-redirected.bin: http status: 206", true, {}},
      {"no-content.bin", "HTTP/1.1 204 No Content\r\n\r\n", false, false,
       "HTTP error for no-content.bin: http status: 204", true, {}},
      {"non-authoritative.bin", "HTTP/1.1 203 Non-Authoritative Information\r\nContent-Length: 16\r\n\r\n" + body,
       true, false, "HTTP error for non-authoritative.bin: http status: 203", true, {}},
      // Interim responses: the final one alone gives the status and the length.
      {"interim.bin", std::string("HTTP/1.1 100 Continue\r\nContent-Length: 1000\r\n\r\nHTTP/1.1 103 Early Hints\r\n") +
           "Link: </x>\r\n\r\n" + head + "16\r\n\r\n" + body,
       true, true, body, false, 16},
      {"interim-short.bin", "HTTP/1.1 100 Continue\r\n\r\n" + head + "1000\r\nHTTP/1.1: 200\r\n\r\n" +
           body.substr(0, 5),
       false, false, "read interim-short.bin: transfer closed with 995 bytes remaining to read", true, 1000},
      {"interim-partial.bin", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 206 Partial Content\r\nContent-Length: 5\r\n\r\n" +
           body.substr(0, 5),
       true, false, "HTTP error for interim-partial.bin: http status: 206", true, {}},
  };
  for (const Case& c : cases) {
    std::string final_path = "/" + std::string(REPO) + "/resolve/main/" + c.name;
    if (c.redirected) {
      hub.serve_file(REPO, c.name,
                     FakeResponse::verbatim("HTTP/1.1 302 Found\r\nLocation: ../../../../moved/" + c.name +
                                                "\r\nContent-Length: 0\r\n\r\n",
                                            HELD));
      final_path = "/moved/" + c.name;
    }
    hub.serve(final_path, FakeResponse::verbatim(c.response, c.held ? HELD : std::chrono::seconds(0)));
  }
  std::ignore = testing::hub_repo(hub, REPO);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int hits = hub.total_hits();
    auto bar = progress::ProgressBar::create();
    auto got = fetch(hub, c.name, *bar);
    EXPECT_EQ(hub.total_hits() - hits, c.redirected ? 2 : 1);
    EXPECT_EQ(bar->length(), c.bar_length);
    EXPECT_EQ(got ? read_file(*got) : got.error(), c.file_or_error);
    EXPECT_EQ(!got, c.fails);
    if (c.fails) {
      EXPECT_FALSE(fs::exists(CACHE / c.name));
      // A head that fails creates no file.
      EXPECT_EQ(fs::exists(partial_path_for(CACHE / c.name)), c.bar_length.has_value());
    }
  }
}

// Sets a variable of the environment for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (previous_) ::setenv(name_, previous_->c_str(), 1);
    else ::unsetenv(name_);
  }

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

TEST(DownloadStall, SilenceLongerThanTheLimitFailsTheTransferAndTheLimitIsPositiveSeconds) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  const std::string ten = pattern_bytes(10, 3);
  hub.serve_file(REPO, "silent-head.bin", FakeResponse::verbatim("", HELD));
  hub.serve_file(REPO, "silent-body.bin", FakeResponse::verbatim(OK_LINE + "Content-Length: 100\r\n\r\n" + ten, HELD));
  hub.serve("/api/models/" + std::string(REPO) + "/tree/main", FakeResponse::verbatim(OK_LINE, HELD));
  HfRepo repo = testing::hub_repo(hub, REPO);
  ScopedEnv limit("VARKEL_DOWNLOAD_STALL_SECS", "0.3");
  EXPECT_EQ(repo.ensure("silent-head.bin").error(), "HTTP error for silent-head.bin: no data received for 0.3 s");
  EXPECT_EQ(repo.ensure_batch({"silent-body.bin"}).error(), "read silent-body.bin: no data received for 0.3 s");
  EXPECT_EQ(repo.file_sizes().error(), "HF API error: no data received for 0.3 s");
  EXPECT_EQ(cache_entries(), with_temporary_of("silent-body.bin"));
  EXPECT_TRUE(read_file(partial_path_for(CACHE / "silent-body.bin")) == ten);

  const std::pair<const char*, int64_t> valid[] = {{"60", 60000}, {"0.25", 250}, {"1e3", 1000000}, {"0.0004", 1}};
  for (const auto& [text, millis] : valid) EXPECT_EQ(parse_stall_secs(text), std::chrono::milliseconds(millis)) << text;
  for (const char* text : {"", "abc", "0", "-1", "nan", "inf", "1e300", "5s", " 5"})
    EXPECT_EQ(parse_stall_secs(text).error(),
              fmt::format("invalid VARKEL_DOWNLOAD_STALL_SECS \"{}\": expected a positive number of seconds", text));

  const int hits = hub.total_hits();
  ScopedEnv unusable("VARKEL_DOWNLOAD_STALL_SECS", "soon");
  const std::string refused = "invalid VARKEL_DOWNLOAD_STALL_SECS \"soon\": expected a positive number of seconds";
  EXPECT_EQ(repo.ensure("x.bin").error(), refused);
  testing_support::write_file(CACHE / "here.json", "{}");
  EXPECT_EQ(repo.ensure_batch({"here.json", "x.bin"}).error(), refused);
  EXPECT_EQ(repo.ensure_batch({"here.json"}), std::vector<fs::path>{CACHE / "here.json"});  // no fetch
  EXPECT_EQ(hub.total_hits(), hits);
}

TEST(DownloadInterrupt, ACheckOnTheCallingThreadEndsDownloadsKeepingOnlyPartFiles) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  const std::string ten = pattern_bytes(10, 4);
  for (const char* name : {"slow-a.bin", "slow-b.bin", "slow-c.bin"})
    hub.serve_file(REPO, name, FakeResponse::verbatim(OK_LINE + "Content-Length: 100\r\n\r\n" + ten, HELD));
  HfRepo repo = testing::hub_repo(hub, REPO);
  const auto caller = std::this_thread::get_id();
  int polls = 0;
  bool foreign_poll = false;
  // Fires once the first chunk has arrived (or after a number of polls).
  auto pending_after = [&](std::function<bool()> ready) -> DownloadInterrupt {
    return [&, ready]() -> std::optional<std::string> {
      foreign_poll |= std::this_thread::get_id() != caller;
      ++polls;
      if (ready()) return "KeyboardInterrupt: ";
      return std::nullopt;
    };
  };

  auto bar = progress::ProgressBar::create();
  auto first_chunk_in = pending_after([&] { return bar->position() >= 10; });
  auto single = fetch(hub, "slow-a.bin", *bar, {DEFAULT_STALL_LIMIT, first_chunk_in});
  EXPECT_EQ(single.error(), "interrupted: KeyboardInterrupt: ");
  EXPECT_TRUE(read_file(partial_path_for(CACHE / "slow-a.bin")) == ten);

  polls = 0;
  EXPECT_EQ(repo.ensure("slow-b.bin", pending_after([&] { return polls >= 3; })).error(),
            "interrupted: KeyboardInterrupt: ");
  polls = 0;
  EXPECT_EQ(repo.ensure_batch({"slow-b.bin", "slow-c.bin"}, pending_after([&] { return polls >= 3; })).error(),
            "interrupted: KeyboardInterrupt: ");
  EXPECT_FALSE(foreign_poll);
  for (const auto& entry : cache_entries()) EXPECT_TRUE(entry.starts_with(PARTIAL_DIR)) << entry;
}

TEST(DownloadSingle, PresentFilesNeedNoRequestAndADroppedBodyLeavesOnlyThePartFile) {
  testing_support::ScratchCwd scratch;
  FakeHub hub;
  const std::string big = pattern_bytes(DOWNLOAD_BUFFER_BYTES + 12345, 1), name = "model-00001-of-00002.safetensors";
  hub.serve_file(REPO, name, FakeResponse::dropped(big, 1700));
  HfRepo repo = testing::hub_repo(hub, REPO);
  EXPECT_EQ(repo.ensure("gone.json").error(), "HTTP error for gone.json: http status: 404");
  auto cut = repo.ensure(name);
  ASSERT_FALSE(cut);
  EXPECT_EQ(cut.error().rfind("read " + name + ": ", 0), 0u) << cut.error();
  EXPECT_EQ(cache_entries(), with_temporary_of(name));
  EXPECT_TRUE(read_file(partial_path_for(CACHE / name)) == big.substr(0, 1700));

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
  hub.serve_file(REPO, "tokenizer.json", FakeResponse::ok(json, std::chrono::milliseconds(100)));
  hub.serve_file(REPO, "tokenizer.model", FakeResponse::ok(model, std::chrono::milliseconds(100)));
  hub.serve_file(REPO, "w.part", FakeResponse::ok("not a temporary"));
  HfRepo repo = testing::hub_repo(hub, REPO);
  auto paths = repo.ensure_batch({"tokenizer.json", "tokenizer.model", "tokenizer.json", "w.part"});
  ASSERT_TRUE(paths) << paths.error();
  EXPECT_TRUE(read_file(CACHE / "tokenizer.json") == json);
  EXPECT_TRUE(read_file(CACHE / "tokenizer.model") == model);
  EXPECT_EQ(read_file(CACHE / "w.part"), "not a temporary");
  EXPECT_EQ(cache_entries(), (std::vector<std::string>{"tokenizer.json", "tokenizer.model", "w.part"}));
  EXPECT_EQ(hub.total_hits(), 3);  // the name asked for twice is fetched once
}

// Regular files of the cache with their bytes, links as "-> target", other non-directories marked.
std::map<std::string, std::string> cache_snapshot() {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(CACHE)) {
    const std::string name = e.path().lexically_relative(CACHE).generic_string();
    if (e.is_symlink()) files[name] = "-> " + fs::read_symlink(e.path()).string();
    else if (e.is_regular_file()) files[name] = read_file(e.path());
    else if (!e.is_directory()) files[name] = "(neither file nor directory)";
  }
  return files;
}

TEST(DownloadTemporary, AFileAlreadyAtTheTemporaryNameIsLeftAlone) {
  const std::string body = pattern_bytes(5000, 7), earlier = "installed earlier";
  struct Case {
    std::string what;
    std::string name;
    std::function<void(FakeHub&, const HfRepo&)> before;
    std::map<std::string, std::string> after;
  };
  const Case cases[] = {
      {"a file of the repository", "w.bin",
       [&](FakeHub& hub, const HfRepo& repo) {
         hub.serve_file(REPO, "w.part", FakeResponse::ok(earlier));
         ASSERT_TRUE(repo.ensure("w.part"));
       },
       {{"w.bin", body}, {"w.part", earlier}}},
      {"a link to a file outside", "l.bin",
       [](FakeHub&, const HfRepo&) { fs::create_symlink("../../victim", CACHE / "l.part"); },
       {{"l.bin", body}, {"l.part", "-> ../../victim"}}},
      {"the repository's file named like the partial body of another", "m.bin",
       [&](FakeHub& hub, const HfRepo& repo) {
         hub.serve_file(REPO, "m.bin", FakeResponse::dropped(body, 100));
         hub.serve_file(REPO, "m.part", FakeResponse::ok(earlier));
         ASSERT_FALSE(repo.ensure("m.bin"));
         auto part = repo.ensure("m.part");
         ASSERT_TRUE(part) << part.error();
         ASSERT_EQ(read_file(*part), earlier);
       },
       {{"m.bin", body}, {"m.part", earlier}}},
      {"a partial body of this process, started again", "p.bin",
       [&](FakeHub& hub, const HfRepo& repo) {
         hub.serve_file(REPO, "p.bin", FakeResponse::dropped(body, 100));
         ASSERT_FALSE(repo.ensure("p.bin"));
       },
       {{"p.bin", body}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::ScratchCwd scratch;
    FakeHub hub;
    HfRepo repo = testing::hub_repo(hub, REPO);
    testing_support::write_file("victim", "precious");
    c.before(hub, repo);
    hub.serve_file(REPO, c.name, FakeResponse::ok(body));
    auto path = repo.ensure(c.name);
    ASSERT_TRUE(path) << path.error();
    EXPECT_TRUE(cache_snapshot() == c.after);
    EXPECT_TRUE(read_file("victim") == "precious");
  }
}

// What someone put where temporaries go fails the download with the system's
// reason; it stays as it was, and nothing is written outside the repository.
TEST(DownloadTemporary, SomethingPlantedWhereTemporariesGoFailsTheDownloadAndStays) {
  const std::string body = pattern_bytes(5000, 8);
  const fs::path partial = CACHE / PARTIAL_DIR;
  struct Case {
    std::string what;
    std::function<void()> plant;
    int error;  // errno of the failure
  };
  const Case cases[] = {
      {"the directory of temporaries is a link to one outside",
       [&] { fs::create_directory_symlink("../../outside", partial); }, ENOTDIR},
      {"the directory of temporaries is a file", [&] { testing_support::write_file(partial, "precious"); },
       ENOTDIR},
      {"the temporary is a link to a file outside",
       [&] {
         fs::create_directory(partial);
         fs::create_symlink("../../../outside/victim", partial / "s.bin");
       },
       ELOOP},
      {"the temporary is a hard link to a file outside",
       [&] {
         fs::create_directory(partial);
         fs::create_hard_link("outside/victim", partial / "s.bin");
       },
       EMLINK},
      {"the temporary is a pipe",
       [&] {
         fs::create_directory(partial);
         ASSERT_EQ(::mkfifo((partial / "s.bin").c_str(), 0666), 0);
       },
       ENXIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing_support::ScratchCwd scratch;
    FakeHub hub;
    HfRepo repo = testing::hub_repo(hub, REPO);
    testing_support::write_file("outside/victim", "precious");
    c.plant();
    hub.serve_file(REPO, "s.bin", FakeResponse::ok(body));
    const auto planted = cache_snapshot();
    auto got = repo.ensure("s.bin");
    EXPECT_EQ(got ? "a path" : got.error(), "create s.bin: " + IoError::from_os(c.error).to_string());
    EXPECT_TRUE(cache_snapshot() == planted);
    EXPECT_EQ(fs::directory_iterator("outside")->path().filename(), "victim");
    EXPECT_EQ(std::distance(fs::directory_iterator("outside"), {}), 1);
    EXPECT_EQ(read_file("outside/victim"), "precious");
  }
}

// Two downloads in flight at once in one process, through separate calls.
TEST(DownloadTemporary, DownloadsInFlightTogetherNeverShareAPath) {
  const std::string first_body(200, 'f'), second_body(300, 's');
  struct Case {
    std::string first, second;
    // The second ends while the first waits for it, or the other way round.
    bool second_ends_first;
    std::string second_error;  // empty: it succeeds
  };
  const Case cases[] = {
      {"x.json", "x.bin", true, ""},  // one usual temporary name, x.part
      {"y.part", "y.bin", false, ""},  // the second's usual temporary name is the first's destination
      {"z.bin", "z.part", true, ""},  // the second's name was once the first's temporary name
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.first + " then " + c.second);
    std::atomic<bool> first_done{false}, second_done{false};
    testing_support::ScratchCwd scratch;
    FakeHub hub;
    HfRepo repo = testing::hub_repo(hub, REPO);
    // The head and a few bytes at once, the rest when `gate` holds.
    auto held = [](const std::string& body, std::function<bool()> gate) {
      const std::string head = OK_LINE + fmt::format("Content-Length: {}\r\n\r\n", body.size());
      return FakeResponse::gated(head + body, head.size() + 40, std::move(gate));
    };
    hub.serve_file(REPO, c.first, held(first_body, [&] {
                     return c.second_ends_first ? second_done.load() : hub.total_hits() >= 2;
                   }));
    hub.serve_file(REPO, c.second, held(second_body, [&] { return c.second_ends_first || first_done.load(); }));
    // Waits for a condition that the other thread brings about (bounded, so a fault cannot hang the test).
    auto await = [](const std::function<bool()>& ready) {
      for (int i = 0; i < 20000 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };

    HubResult<fs::path> first = std::unexpected(std::string("not run")), second = first;
    std::jthread first_thread([&] {
      first = repo.ensure(c.first);
      first_done = true;
    });
    // The first is under way: its temporary file is made, or at least its request is out.
    if (c.second_ends_first) await([&] { return fs::exists(partial_path_for(CACHE / c.first)); });
    else await([&] { return hub.total_hits() >= 1; });
    std::jthread second_thread([&] {
      second = repo.ensure(c.second);
      second_done = true;
    });
    first_thread.join();
    second_thread.join();

    auto content = [](const HubResult<fs::path>& got) { return got ? read_file(*got) : got.error(); };
    EXPECT_EQ(content(first), first_body);
    if (c.second_error.empty()) {
      EXPECT_EQ(content(second), second_body);
      EXPECT_EQ(cache_entries(), (std::vector<std::string>{std::min(c.first, c.second), std::max(c.first, c.second)}));
    } else {
      EXPECT_EQ(second ? second->string() : second.error(), c.second_error);
      EXPECT_EQ(cache_entries(), std::vector<std::string>{c.first});
    }
  }
}

}  // namespace
}  // namespace varkel
