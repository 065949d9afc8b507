#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "model/expert/expert_file.h"
#include "model/expert_fixture.h"

namespace varkel {
namespace {

using namespace testing_support;

Result<ExpertFile> open_lz4_bytes(const ScratchDir& dir, std::string_view bytes, std::optional<uint64_t> experts) {
  const auto path = dir / "packed_experts_lz4" / layer_file_name(5);
  write_file(path, bytes);
  return ExpertFile::open_lz4(path, 5, experts, kSmallExpertSize);
}

IoErrorKind io_kind(const MoEError& error) {
  EXPECT_NE(error.io_error(), nullptr) << error.to_string();
  return error.io_error() ? error.io_error()->kind() : IoErrorKind::Other;
}

TEST(ExpertFileTest, RawReadsRecordsAndReportsShortReads) {
  EXPECT_EQ(expert_record_size(100, 30), 4740u);  // floors: 3·1500 + 8·30 + 4·0
  ScratchDir dir;
  write_raw_layer(dir, 2, kSmallExperts - 1);
  auto file = ExpertFile::open_raw(dir / "packed_experts" / layer_file_name(2), 0, kSmallExpertSize);
  ASSERT_TRUE(file.has_value());
  std::vector<uint8_t> dst(kSmallExpertSize + 1, 0xEE);
  ASSERT_TRUE(file->read_expert(6, dst).has_value());
  const auto want = expert_record(2, 6);
  EXPECT_TRUE(std::equal(want.begin(), want.end(), dst.begin()));
  EXPECT_EQ(dst.back(), 0xEE);
  auto past = file->read_expert(7, dst);
  EXPECT_EQ(io_kind(past.error()), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(past.error().to_string(), "I/O error: pread expert 7: got 0 expected 6912");
  EXPECT_EQ(io_kind(file->read_expert(SIZE_MAX / 2, dst).error()), IoErrorKind::UnexpectedEof);
  // A part is the same bytes as the whole record's; parts past the record or the file are refused.
  std::vector<uint8_t> part(1000, 0xEE);
  ASSERT_TRUE(file->read_expert_part(6, 5000, part).has_value());
  EXPECT_TRUE(std::equal(part.begin(), part.end(), want.begin() + 5000));
  EXPECT_EQ(io_kind(file->read_expert_part(6, kSmallExpertSize - 999, part).error()), IoErrorKind::InvalidInput);
  EXPECT_EQ(file->read_expert_part(7, 0, part).error().to_string(), "I/O error: pread expert 7 from byte 0: got 0 expected 1000");

  write_file(dir / "cut.bin", std::string(kSmallExpertSize + 100, 'x'));
  EXPECT_EQ(ExpertFile::open_raw(dir / "cut.bin", 0, kSmallExpertSize)->read_expert(1, dst).error().to_string(),
            "I/O error: pread expert 1: got 100 expected 6912");
}

TEST(ExpertFileTest, Lz4HeaderFailures) {
  ScratchDir dir;
  const std::string whole = lz4_file(lz4_blocks(5));
  std::string huge;  // 2^32 - 1 experts must not allocate a 16 GiB table
  append_u32(huge, UINT32_MAX);
  const std::tuple<std::string, std::optional<uint64_t>, std::string> cases[] = {
      {whole, 9, "I/O error: lz4 expert 5: header says 8 experts, config says 9 \xE2\x80\x94 file may be corrupted"},
      {"abc", kSmallExperts, "I/O error: lz4 hdr 5: failed to fill whole buffer"},
      {whole.substr(0, 4 + 4 * kSmallExperts), kSmallExperts, "I/O error: lz4 off 5: failed to fill whole buffer"},
      {huge, UINT32_MAX, "I/O error: lz4 off 5: failed to fill whole buffer"},
      {whole, std::nullopt, "Config error: missing config key 'num_experts'"},
  };
  for (const auto& [bytes, experts, message] : cases) {
    auto file = open_lz4_bytes(dir, bytes, experts);
    ASSERT_FALSE(file.has_value()) << message;
    EXPECT_EQ(file.error().to_string(), message);
  }
}

TEST(ExpertFileTest, Lz4BlockFailures) {
  ScratchDir dir;
  const auto blocks = lz4_blocks(1);
  const auto with_block = [&](size_t e, std::vector<uint8_t> block) {
    auto changed = blocks;
    changed[e] = std::move(block);
    return lz4_file(changed);
  };
  auto cut = blocks[2];
  cut.resize(cut.size() / 2);
  auto shorter = expert_record(1, 4);
  shorter.pop_back();
  std::string decreasing = lz4_file(blocks);  // offsets 1 and 2 swapped
  std::swap_ranges(decreasing.begin() + 8, decreasing.begin() + 12, decreasing.begin() + 12);
  std::string truncated = lz4_file(blocks);
  truncated.resize(truncated.size() - 10);
  const std::tuple<std::string, size_t, IoErrorKind, std::string> cases[] = {
      {with_block(2, cut), 2, IoErrorKind::InvalidData, "I/O error: lz4 decompress expert 2: "},
      {with_block(4, compress_block(shorter)), 4, IoErrorKind::InvalidData,
       "I/O error: lz4 decompress expert 4: block decodes to 6911 bytes, expected 6912"},
      {decreasing, 1, IoErrorKind::InvalidData, "expert 1"},
      {truncated, 7, IoErrorKind::UnexpectedEof,
       fmt::format("I/O error: pread lz4 expert 7: got {} expected {}", blocks[7].size() - 10, blocks[7].size())},
      {lz4_file(blocks), 8, IoErrorKind::InvalidInput, " 8"},
  };
  std::vector<uint8_t> dst(kSmallExpertSize);
  for (const auto& [bytes, expert, kind, message] : cases) {
    auto file = open_lz4_bytes(dir, bytes, kSmallExperts);
    ASSERT_TRUE(file.has_value()) << message;
    auto bad = file->read_expert(expert, dst);
    ASSERT_FALSE(bad.has_value()) << message;
    EXPECT_EQ(io_kind(bad.error()), kind) << message;
    EXPECT_NE(bad.error().to_string().find(message), std::string::npos) << bad.error().to_string();
    ASSERT_TRUE(file->read_expert(3, dst).has_value()) << message;  // other blocks still decode
    EXPECT_EQ(dst, expert_record(1, 3));
  }
}

TEST(ExpertFileTest, EightThreadsReadTheSameBytesAsSequentialReads) {
  ScratchDir dir;
  write_raw_layer(dir, 0);
  write_lz4_layer(dir, 1);
  std::vector<ExpertFile> files;
  files.push_back(*ExpertFile::open_raw(dir / "packed_experts" / layer_file_name(0), 0, kSmallExpertSize));
  files.push_back(*ExpertFile::open_lz4(dir / "packed_experts_lz4" / layer_file_name(1), 1, kSmallExperts,
                                        kSmallExpertSize));
  for (size_t layer = 0; layer < 2; ++layer) {
    std::vector<std::vector<uint8_t>> sequential(kSmallExperts, std::vector<uint8_t>(kSmallExpertSize));
    for (size_t e = 0; e < kSmallExperts; ++e) {
      ASSERT_TRUE(files[layer].read_expert(e, sequential[e]).has_value());
      EXPECT_EQ(sequential[e], expert_record(layer, e));
    }
    for (int round = 0; round < 20; ++round) {
      std::vector<std::vector<uint8_t>> parallel(kSmallExperts, std::vector<uint8_t>(kSmallExpertSize));
      {
        std::vector<std::jthread> threads;
        for (size_t e = kSmallExperts; e-- > 0;) {
          threads.emplace_back([&, e] { EXPECT_TRUE(files[layer].read_expert(e, parallel[e]).has_value()); });
        }
      }
      EXPECT_EQ(parallel, sequential);
    }
  }
}

bool same_bytes(std::span<const uint8_t> got, const std::vector<uint8_t>& want) {
  return std::equal(got.begin(), got.end(), want.begin(), want.end());
}

// A record is handed out where it lies only while the mapping, the file and
// the page cache all hold every byte of it; any other record is read, and the
// read reports what is wrong with the file.
TEST(ExpertFileTest, CachedRecordsAreTheFileBytesOnlyWhileTheFileHoldsThem) {
  ScratchDir dir;
  write_raw_layer(dir, 3);  // just written, so in the page cache
  const auto path = dir / "packed_experts" / layer_file_name(3);
  auto file = ExpertFile::open_raw(path, 3, kSmallExpertSize);
  ASSERT_TRUE(file.has_value());
  ASSERT_EQ(file->mapped().size(), kSmallExperts * kSmallExpertSize);
  for (size_t e = 0; e < kSmallExperts; ++e) {
    const std::span<const uint8_t> record = file->cached_record(e);
    ASSERT_EQ(record.size(), kSmallExpertSize) << e;  // 6912 bytes: records straddle pages
    EXPECT_TRUE(same_bytes(record, expert_record(3, e))) << e;
  }
  EXPECT_TRUE(file->cached_record(kSmallExperts).empty());
  EXPECT_TRUE(file->cached_record(SIZE_MAX / 2).empty());  // its offset overflows

  // Grown since it was opened: the new record lies past the mapping and is read.
  {
    const auto extra = expert_record(3, kSmallExperts);
    std::ofstream(path, std::ios::binary | std::ios::app).write(reinterpret_cast<const char*>(extra.data()),
                                                                static_cast<std::streamsize>(extra.size()));
  }
  EXPECT_TRUE(file->cached_record(kSmallExperts).empty());
  std::vector<uint8_t> dst(kSmallExpertSize);
  ASSERT_TRUE(file->read_expert(kSmallExperts, dst).has_value());
  EXPECT_EQ(dst, expert_record(3, kSmallExperts));

  // Cut 100 bytes short of record 4's end, inside its last page, which stays
  // cached (zero past the new end): record 4 is read and fails as a short read.
  std::filesystem::resize_file(path, 5 * kSmallExpertSize - 100);
  EXPECT_TRUE(same_bytes(file->cached_record(3), expert_record(3, 3)));
  EXPECT_TRUE(file->cached_record(4).empty());
  EXPECT_TRUE(file->cached_record(7).empty());
  EXPECT_EQ(file->read_expert(4, dst).error().to_string(), "I/O error: pread expert 4: got 6812 expected 6912");
}

TEST(ExpertFileTest, Lz4FilesAndTheSwitchLeaveEveryRecordToReads) {
  ScratchDir dir;
  write_raw_layer(dir, 0);
  write_lz4_layer(dir, 1);
  auto lz4 = ExpertFile::open_lz4(dir / "packed_experts_lz4" / layer_file_name(1), 1, kSmallExperts, kSmallExpertSize);
  ASSERT_TRUE(lz4.has_value());
  EXPECT_TRUE(lz4->mapped().empty());
  EXPECT_TRUE(lz4->cached_record(0).empty());

  ::setenv("VARKEL_MAP_EXPERTS", "0", 1);
  auto unmapped = ExpertFile::open_raw(dir / "packed_experts" / layer_file_name(0), 0, kSmallExpertSize);
  ::unsetenv("VARKEL_MAP_EXPERTS");
  ASSERT_TRUE(unmapped.has_value());
  EXPECT_TRUE(unmapped->mapped().empty());
  EXPECT_TRUE(unmapped->cached_record(0).empty());
  std::vector<uint8_t> dst(kSmallExpertSize);
  ASSERT_TRUE(unmapped->read_expert(2, dst).has_value());
  EXPECT_EQ(dst, expert_record(0, 2));
}

// Writes the file back and drops it from the page cache; false when its
// pages stay (a file system such as tmpfs keeps them).
bool drop_from_page_cache(const std::filesystem::path& path, uint64_t length) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  void* probe = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
  bool dropped = false;
  if (probe != MAP_FAILED) {
    std::vector<unsigned char> resident((length + 4095) / 4096);
    dropped = ::mincore(probe, length, resident.data()) == 0 &&
              std::none_of(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; });
    ::munmap(probe, length);
  }
  ::close(fd);
  return dropped;
}

// Pages of the file this process has never touched count as well: whether
// they are cached is asked of the page cache, not of the process's page tables.
TEST(ExpertFileTest, RecordsLeaveAndReenterThePageCache) {
  ScratchDir dir;
  write_raw_layer(dir, 4);
  const auto path = dir / "packed_experts" / layer_file_name(4);
  if (!drop_from_page_cache(path, kSmallExperts * kSmallExpertSize)) GTEST_SKIP() << "this file system keeps the pages";

  auto file = ExpertFile::open_raw(path, 4, kSmallExpertSize);
  ASSERT_TRUE(file.has_value());
  for (size_t e = 0; e < kSmallExperts; ++e) EXPECT_TRUE(file->cached_record(e).empty()) << e;
  std::vector<uint8_t> dst(kSmallExpertSize);
  ASSERT_TRUE(file->read_expert(6, dst).has_value());  // a read brings it in
  EXPECT_TRUE(same_bytes(file->cached_record(6), expert_record(4, 6)));
  EXPECT_TRUE(file->cached_record(2).empty());

  // A warmed record comes in without a read; hints past the file's records
  // or its offsets are ignored, and nothing else comes in.
  for (size_t e : {size_t{kSmallExperts}, SIZE_MAX / 2, SIZE_MAX}) file->warm_record(e);
  file->warm_record(2);
  for (int polls = 0; polls < 1000 && file->cached_record(2).empty(); ++polls) ::usleep(10'000);
  EXPECT_TRUE(same_bytes(file->cached_record(2), expert_record(4, 2)));
  EXPECT_TRUE(file->cached_record(3).empty());
}

// For a user who may only read the file, mincore calls every page resident:
// an evicted record must not be handed out (a use would stall on the disk
// inside a kernel). Whether a cached one is depends on the kernel letting
// such a user ask the page cache.
TEST(ExpertFileTest, AUserWhoMayOnlyReadTheFileIsNotToldEvictedRecordsAreCached) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to run a child as another user";
  if (::syscall(451, -1, nullptr, nullptr, 0) != 0 && errno == ENOSYS) GTEST_SKIP() << "no cachestat in this kernel";
  ScratchDir dir;
  write_raw_layer(dir, 5);
  namespace fs = std::filesystem;
  for (const fs::path& p : {dir.path(), dir / "packed_experts"}) {
    fs::permissions(p, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  }
  const auto path = dir / "packed_experts" / layer_file_name(5);
  if (!drop_from_page_cache(path, kSmallExperts * kSmallExpertSize)) GTEST_SKIP() << "this file system keeps the pages";

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    constexpr uid_t kNobody = 65534;
    // 10: this environment cannot run the case (no setuid, or a scratch
    // directory another user cannot reach).
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0 || ::access(path.c_str(), R_OK) != 0) ::_exit(10);
    auto file = ExpertFile::open_raw(path, 5, kSmallExpertSize);
    if (!file) ::_exit(11);
    if (!file->cached_record(3).empty()) ::_exit(12);
    std::vector<uint8_t> dst(kSmallExpertSize);
    if (!file->read_expert(3, dst)) ::_exit(13);
    const std::span<const uint8_t> after = file->cached_record(3);
    if (!after.empty() && !same_bytes(after, expert_record(5, 3))) ::_exit(14);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 10) GTEST_SKIP() << "cannot run a child as another user that reaches the file";
  EXPECT_EQ(WEXITSTATUS(status), 0)
      << "11: open failed, 12: found before the read, 13: read failed, "
         "14: wrong bytes after the read";
}

}  // namespace
}  // namespace varkel
