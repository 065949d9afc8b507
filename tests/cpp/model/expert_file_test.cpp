#include <fcntl.h>

#include <thread>

#include <gtest/gtest.h>

#include "model/config/model_config.h"
#include "model/expert/expert_file.h"
#include "model/expert_fixture.h"
#include "model/io/unique_fd.h"

namespace varkel {
namespace {

using namespace testing_support;

ExpertFile open_raw_file(const std::filesystem::path& path) {
  auto file = ExpertFile::open_raw(path, 0, kSmallExpertSize);
  EXPECT_TRUE(file.has_value());
  return std::move(*file);
}

Result<ExpertFile> open_lz4_bytes(const ScratchDir& dir, std::string_view bytes, size_t layer = 5,
                                  std::optional<uint64_t> num_experts = kSmallExperts) {
  const auto path = dir / "packed_experts_lz4" / layer_file_name(layer);
  write_file(path, bytes);
  return ExpertFile::open_lz4(path, layer, num_experts, kSmallExpertSize);
}

const IoError& io_of(const MoEError& error) {
  EXPECT_EQ(error.kind(), MoEError::Kind::Io) << error.to_string();
  static const IoError none = IoError::custom(IoErrorKind::Other, "<not an I/O error>");
  return error.io_error() != nullptr ? *error.io_error() : none;
}

TEST(ExpertFileTest, RecordSizeFollowsTheGeometry) {
  EXPECT_EQ(expert_record_size(2048, 512), 1769472u);
  EXPECT_EQ(expert_record_size(64, 64), kSmallExpertSize);
  // Floors, not exact division: H = 100, I = 30 gives 3·1500 + 8·1·30 + 4·0·100.
  EXPECT_EQ(expert_record_size(100, 30), 4740u);
}

TEST(ExpertFileTest, RawReadsRecordsAndReportsShortReads) {
  ScratchDir dir;
  write_raw_layer(dir, 2, kSmallExperts - 1);  // one record short
  const ExpertFile file = open_raw_file(dir / "packed_experts" / layer_file_name(2));
  EXPECT_EQ(file.kind(), ExpertFile::Kind::Raw);
  EXPECT_EQ(file.expert_size(), kSmallExpertSize);

  std::vector<uint8_t> dst(kSmallExpertSize + 5, 0xEE);
  for (size_t e = 0; e + 1 < kSmallExperts; ++e) {
    ASSERT_TRUE(file.read_expert(e, dst).has_value()) << e;
    const auto want = expert_record(2, e);
    EXPECT_TRUE(std::equal(want.begin(), want.end(), dst.begin())) << e;
    EXPECT_EQ(dst[kSmallExpertSize], 0xEE);  // nothing written past the record
  }
  auto past = file.read_expert(kSmallExperts - 1, dst);
  ASSERT_FALSE(past.has_value());
  EXPECT_EQ(io_of(past.error()).kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(past.error().to_string(), "I/O error: pread expert 7: got 0 expected 6912");

  // A file cut inside a record returns the short count.
  write_file(dir / "cut.bin", std::string(kSmallExpertSize + 100, 'x'));
  auto cut = open_raw_file(dir / "cut.bin").read_expert(1, dst);
  ASSERT_FALSE(cut.has_value());
  EXPECT_EQ(cut.error().to_string(), "I/O error: pread expert 1: got 100 expected 6912");

  // An index whose byte offset cannot be formed fails the same way, without reading.
  auto huge = file.read_expert(SIZE_MAX / 2, dst);
  ASSERT_FALSE(huge.has_value());
  EXPECT_EQ(io_of(huge.error()).kind(), IoErrorKind::UnexpectedEof);

  std::vector<uint8_t> small(kSmallExpertSize - 1, 0x11);
  auto short_dst = file.read_expert(0, small);
  ASSERT_FALSE(short_dst.has_value());
  EXPECT_EQ(io_of(short_dst.error()).kind(), IoErrorKind::InvalidInput);
  EXPECT_NE(short_dst.error().to_string().find("6911"), std::string::npos) << short_dst.error().to_string();
  EXPECT_NE(short_dst.error().to_string().find("6912"), std::string::npos);
  EXPECT_EQ(small, std::vector<uint8_t>(kSmallExpertSize - 1, 0x11));
}

TEST(ExpertFileTest, Lz4ReadsDecodeEveryBlock) {
  ScratchDir dir;
  write_lz4_layer(dir, 3);
  auto file = ExpertFile::open_lz4(dir / "packed_experts_lz4" / layer_file_name(3), 3, kSmallExperts,
                                   kSmallExpertSize);
  ASSERT_TRUE(file.has_value()) << file.error().to_string();
  EXPECT_EQ(file->kind(), ExpertFile::Kind::Lz4);
  EXPECT_EQ(file->offsets().size(), kSmallExperts + 1);
  EXPECT_EQ(file->offsets().front(), 0u);
  std::vector<uint8_t> dst(kSmallExpertSize);
  for (size_t e = 0; e < kSmallExperts; ++e) {
    ASSERT_TRUE(file->read_expert(e, dst).has_value()) << e;
    EXPECT_EQ(dst, expert_record(3, e)) << e;
  }
  // Index N: invalid input, nothing read.
  std::vector<uint8_t> untouched(kSmallExpertSize, 0x5A);
  auto out_of_range = file->read_expert(kSmallExperts, untouched);
  ASSERT_FALSE(out_of_range.has_value());
  EXPECT_EQ(io_of(out_of_range.error()).kind(), IoErrorKind::InvalidInput);
  EXPECT_NE(out_of_range.error().to_string().find(" 8"), std::string::npos) << out_of_range.error().to_string();
  EXPECT_EQ(untouched, std::vector<uint8_t>(kSmallExpertSize, 0x5A));
}

TEST(ExpertFileTest, Lz4HeaderFailures) {
  ScratchDir dir;
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t e = 0; e < kSmallExperts; ++e) blocks.push_back(compress_block(expert_record(5, e)));
  const std::string whole = lz4_file(kSmallExperts, blocks);
  std::string huge;  // a count of 2^32 - 1 must not allocate a 16 GiB table for a tiny file
  append_u32(huge, UINT32_MAX);
  struct Case {
    std::string bytes;
    std::optional<uint64_t> experts;
    IoErrorKind kind;
    std::string message;
  };
  const Case cases[] = {
      // The count disagrees with the configuration, even though the table is intact.
      {whole, 9, IoErrorKind::InvalidData,
       "I/O error: lz4 expert 5: header says 8 experts, config says 9 \xE2\x80\x94 file may be corrupted"},
      {"abc", kSmallExperts, IoErrorKind::Other, "I/O error: lz4 hdr 5: failed to fill whole buffer"},
      {whole.substr(0, 4 + 4 * kSmallExperts), kSmallExperts, IoErrorKind::Other,
       "I/O error: lz4 off 5: failed to fill whole buffer"},
      {huge, UINT32_MAX, IoErrorKind::Other, "I/O error: lz4 off 5: failed to fill whole buffer"},
      // The count is read before the configuration is consulted.
      {whole, std::nullopt, IoErrorKind::Other, "Config error: missing config key 'num_experts'"},
  };
  for (const Case& c : cases) {
    auto file = open_lz4_bytes(dir, c.bytes, 5, c.experts);
    ASSERT_FALSE(file.has_value()) << c.message;
    EXPECT_EQ(file.error().to_string(), c.message);
    if (file.error().kind() == MoEError::Kind::Io) {
      EXPECT_EQ(io_of(file.error()).kind(), c.kind) << c.message;
    }
  }
  auto missing = ExpertFile::open_lz4(dir / "nope.bin", 7, kSmallExperts, kSmallExpertSize);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(io_of(missing.error()).kind(), IoErrorKind::Other);
  EXPECT_EQ(missing.error().to_string(), "I/O error: lz4 expert 7: No such file or directory (os error 2)");
}

TEST(ExpertFileTest, Lz4BlockFailures) {
  ScratchDir dir;
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t e = 0; e < kSmallExperts; ++e) blocks.push_back(compress_block(expert_record(1, e)));
  const auto with_block = [&](size_t e, std::vector<uint8_t> block) {
    auto changed = blocks;
    changed[e] = std::move(block);
    return lz4_file(kSmallExperts, changed);
  };
  auto cut = blocks[2];  // cut in the middle of a sequence: the decoder rejects it
  cut.resize(cut.size() / 2);
  auto shorter = expert_record(1, 4);  // would leave stale bytes in dst
  shorter.pop_back();
  auto longer = expert_record(1, 6);  // would decode past expert_size
  longer.push_back(1);
  std::string swapped = lz4_file(kSmallExperts, blocks);  // offsets 1 and 2 swapped: block 1 ends before it starts
  std::swap_ranges(swapped.begin() + 8, swapped.begin() + 12, swapped.begin() + 12);
  std::string truncated = lz4_file(kSmallExperts, blocks);  // the last block's positional read comes back short
  truncated.resize(truncated.size() - 10);
  struct Case {
    std::string file;
    size_t expert;
    IoErrorKind kind;
    std::string message;  // the whole text, or a part of it when `exact` is false
    bool exact;
  };
  const Case cases[] = {
      {with_block(2, cut), 2, IoErrorKind::InvalidData, "I/O error: lz4 decompress expert 2: ", false},
      {with_block(4, compress_block(shorter)), 4, IoErrorKind::InvalidData,
       "I/O error: lz4 decompress expert 4: block decodes to 6911 bytes, expected 6912", true},
      {with_block(6, compress_block(longer)), 6, IoErrorKind::InvalidData, "expert 6", false},
      {swapped, 1, IoErrorKind::InvalidData, "expert 1", false},
      {truncated, 7, IoErrorKind::UnexpectedEof,
       fmt::format("I/O error: pread lz4 expert 7: got {} expected {}", blocks[7].size() - 10, blocks[7].size()), true},
  };
  std::vector<uint8_t> dst(kSmallExpertSize);
  for (const Case& c : cases) {
    auto file = open_lz4_bytes(dir, c.file);
    ASSERT_TRUE(file.has_value()) << c.message;
    auto bad = file->read_expert(c.expert, dst);
    ASSERT_FALSE(bad.has_value()) << c.message;
    EXPECT_EQ(io_of(bad.error()).kind(), c.kind) << c.message;
    const std::string text = bad.error().to_string();
    EXPECT_TRUE(c.exact ? text == c.message : text.find(c.message) != std::string::npos) << text;
    // Other blocks are not affected.
    ASSERT_TRUE(file->read_expert(3, dst).has_value()) << c.message;
    EXPECT_EQ(dst, expert_record(1, 3));
  }
}

TEST(ExpertFileTest, EightThreadsReadTheSameBytesAsOneAfterAnother) {
  ScratchDir dir;
  write_raw_layer(dir, 0);
  write_lz4_layer(dir, 1);
  std::vector<ExpertFile> files;
  files.push_back(open_raw_file(dir / "packed_experts" / layer_file_name(0)));
  auto lz4 = ExpertFile::open_lz4(dir / "packed_experts_lz4" / layer_file_name(1), 1, kSmallExperts,
                                  kSmallExpertSize);
  ASSERT_TRUE(lz4.has_value());
  files.push_back(std::move(*lz4));

  for (const ExpertFile& file : files) {
    std::vector<std::vector<uint8_t>> sequential(kSmallExperts, std::vector<uint8_t>(kSmallExpertSize));
    for (size_t e = 0; e < kSmallExperts; ++e) ASSERT_TRUE(file.read_expert(e, sequential[e]).has_value());
    for (int round = 0; round < 20; ++round) {
      std::vector<std::vector<uint8_t>> parallel(kSmallExperts, std::vector<uint8_t>(kSmallExpertSize));
      std::vector<int> ok(kSmallExperts, 0);
      {
        std::vector<std::jthread> threads;
        for (size_t e = 0; e < kSmallExperts; ++e) {
          // Reversed order so the threads do not start in file order.
          const size_t expert = kSmallExperts - 1 - e;
          threads.emplace_back([&, expert] { ok[expert] = file.read_expert(expert, parallel[expert]).has_value(); });
        }
      }
      EXPECT_EQ(ok, std::vector<int>(kSmallExperts, 1));
      EXPECT_EQ(parallel, sequential);
    }
  }
}

}  // namespace
}  // namespace varkel
