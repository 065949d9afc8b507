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

  // Count disagrees with the configuration, even though the table is intact.
  auto count = open_lz4_bytes(dir, lz4_file(kSmallExperts, blocks), 5, 9);
  ASSERT_FALSE(count.has_value());
  EXPECT_EQ(io_of(count.error()).kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(count.error().to_string(),
            "I/O error: lz4 expert 5: header says 8 experts, config says 9 \xE2\x80\x94 file may be corrupted");

  auto hdr = open_lz4_bytes(dir, "abc");
  ASSERT_FALSE(hdr.has_value());
  EXPECT_EQ(io_of(hdr.error()).kind(), IoErrorKind::Other);
  EXPECT_EQ(hdr.error().to_string(), "I/O error: lz4 hdr 5: failed to fill whole buffer");

  // The count is read before the configuration is consulted.
  auto no_key = open_lz4_bytes(dir, lz4_file(kSmallExperts, blocks), 5, std::nullopt);
  ASSERT_FALSE(no_key.has_value());
  EXPECT_EQ(no_key.error().to_string(), "Config error: missing config key 'num_experts'");

  std::string table_cut = lz4_file(kSmallExperts, blocks).substr(0, 4 + 4 * kSmallExperts);
  auto off = open_lz4_bytes(dir, table_cut);
  ASSERT_FALSE(off.has_value());
  EXPECT_EQ(io_of(off.error()).kind(), IoErrorKind::Other);
  EXPECT_EQ(off.error().to_string(), "I/O error: lz4 off 5: failed to fill whole buffer");

  // A count of 2^32 - 1 must not allocate a 16 GiB table for a tiny file.
  std::string huge;
  append_u32(huge, UINT32_MAX);
  auto big = open_lz4_bytes(dir, huge, 5, UINT32_MAX);
  ASSERT_FALSE(big.has_value());
  EXPECT_EQ(big.error().to_string(), "I/O error: lz4 off 5: failed to fill whole buffer");

  auto missing = ExpertFile::open_lz4(dir / "nope.bin", 7, kSmallExperts, kSmallExpertSize);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(io_of(missing.error()).kind(), IoErrorKind::Other);
  EXPECT_EQ(missing.error().to_string(), "I/O error: lz4 expert 7: No such file or directory (os error 2)");
}

TEST(ExpertFileTest, Lz4BlockFailures) {
  ScratchDir dir;
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t e = 0; e < kSmallExperts; ++e) blocks.push_back(compress_block(expert_record(1, e)));
  std::vector<uint8_t> dst(kSmallExpertSize);

  // Block 2 cut in the middle of a sequence: the decoder rejects it.
  auto cut_blocks = blocks;
  cut_blocks[2].resize(cut_blocks[2].size() / 2);
  auto cut = open_lz4_bytes(dir, lz4_file(kSmallExperts, cut_blocks));
  ASSERT_TRUE(cut.has_value());
  auto bad = cut->read_expert(2, dst);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(io_of(bad.error()).kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(bad.error().to_string().rfind("I/O error: lz4 decompress expert 2: ", 0), 0u) << bad.error().to_string();
  EXPECT_TRUE(cut->read_expert(3, dst).has_value());
  EXPECT_EQ(dst, expert_record(1, 3));

  // A block that decodes to fewer bytes would leave stale bytes in dst: rejected.
  auto short_blocks = blocks;
  auto shorter_record = expert_record(1, 4);
  shorter_record.pop_back();
  short_blocks[4] = compress_block(shorter_record);
  auto shorter = open_lz4_bytes(dir, lz4_file(kSmallExperts, short_blocks));
  ASSERT_TRUE(shorter.has_value());
  auto short_read = shorter->read_expert(4, dst);
  ASSERT_FALSE(short_read.has_value());
  EXPECT_EQ(io_of(short_read.error()).kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(short_read.error().to_string(), "I/O error: lz4 decompress expert 4: block decodes to 6911 bytes, expected 6912");

  // A block that would decode past expert_size is rejected too.
  auto long_blocks = blocks;
  auto longer_record = expert_record(1, 6);
  longer_record.push_back(1);
  long_blocks[6] = compress_block(longer_record);
  auto longer = open_lz4_bytes(dir, lz4_file(kSmallExperts, long_blocks));
  ASSERT_TRUE(longer.has_value());
  auto long_read = longer->read_expert(6, dst);
  ASSERT_FALSE(long_read.has_value());
  EXPECT_EQ(io_of(long_read.error()).kind(), IoErrorKind::InvalidData);

  // Offsets 1 and 2 swapped: block 1 has end < start.
  std::string swapped = lz4_file(kSmallExperts, blocks);
  std::swap_ranges(swapped.begin() + 8, swapped.begin() + 12, swapped.begin() + 12);
  auto decreasing = open_lz4_bytes(dir, swapped);
  ASSERT_TRUE(decreasing.has_value());
  auto dec = decreasing->read_expert(1, dst);
  ASSERT_FALSE(dec.has_value());
  EXPECT_EQ(io_of(dec.error()).kind(), IoErrorKind::InvalidData);
  EXPECT_NE(dec.error().to_string().find("expert 1"), std::string::npos) << dec.error().to_string();

  // Data area cut short: the positional read of the last block comes back short.
  std::string truncated = lz4_file(kSmallExperts, blocks);
  truncated.resize(truncated.size() - 10);
  auto trunc = open_lz4_bytes(dir, truncated);
  ASSERT_TRUE(trunc.has_value());
  auto trunc_read = trunc->read_expert(7, dst);
  ASSERT_FALSE(trunc_read.has_value());
  EXPECT_EQ(io_of(trunc_read.error()).kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(trunc_read.error().to_string(), fmt::format("I/O error: pread lz4 expert 7: got {} expected {}",
                                                      blocks[7].size() - 10, blocks[7].size()));
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
