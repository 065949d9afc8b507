#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/test_files.h"
#include "model/weights/weight_file.h"

namespace varkel {
namespace {

using testing_support::open_descriptor_count;
using testing_support::ScratchDir;
using testing_support::write_file;

struct Opened {
  Result<WeightFile> file;
  std::string stderr_text;
};

Opened open_with(const ScratchDir& dir, std::string_view data, std::string_view manifest) {
  write_file(dir / "model_weights.bin", data);
  write_file(dir / "model_weights.json", manifest);
  ::testing::internal::CaptureStderr();
  auto file = WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json");
  return {std::move(file), ::testing::internal::GetCapturedStderr()};
}

std::string config_error(const Opened& opened) {
  EXPECT_FALSE(opened.file.has_value());
  if (opened.file) return {};
  EXPECT_EQ(opened.file.error().kind(), MoEError::Kind::Config);
  return opened.file.error().message();
}

TEST(WeightFileTest, MapsTheDataAndReadsEveryEntry) {
  ScratchDir dir;
  const std::string data = "0123456789abcdefghij";
  const Opened opened = open_with(dir, data, R"({
    "model": "ignored", "num_tensors": 99, "config": {"x": 1},
    "tensors": {
      "b.weight": {"dtype": "u32", "offset": 4, "shape": [2, 3], "size": 6, "extra": true},
      "a.norm": {"offset": 12, "size": 8, "shape": [4096, "x", -1, 2.0]},
      "c.empty": {"offset": 20, "size": 0, "dtype": 5, "shape": "wide"}
    }
  })");
  ASSERT_TRUE(opened.file.has_value()) << opened.file.error().to_string();
  const WeightFile& file = *opened.file;
  EXPECT_EQ(opened.stderr_text,
            "[weights] mmap'd 0.00 GB from " + (dir / "model_weights.bin").string() + " (3 tensors)\n");
  ASSERT_EQ(file.len(), data.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.data()), file.len()), data);
  EXPECT_EQ(file.tensors().size(), 3u);

  const TensorInfo* b = file.find("b.weight");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->name, "b.weight");
  EXPECT_EQ(b->dtype, "u32");
  EXPECT_EQ(b->shape, (std::vector<uint64_t>{2, 3}));
  EXPECT_EQ(b->offset, 4u);
  EXPECT_EQ(b->size, 6u);
  const auto bytes = file.tensor_bytes(*b);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "456789");

  const TensorInfo* a = file.find("a.norm");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->dtype, "");  // absent
  EXPECT_EQ(a->shape, (std::vector<uint64_t>{4096, 0, 0, 0}));  // non-integers count as 0

  const TensorInfo* c = file.find("c.empty");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->dtype, "");  // not a string
  EXPECT_TRUE(c->shape.empty());  // not an array
  EXPECT_EQ(c->offset, 20u);  // an empty range may sit exactly at the end
  EXPECT_EQ(file.find("a"), nullptr);
}

TEST(WeightFileTest, EmptyTablesAndEmptyFilesOpen) {
  ScratchDir dir;
  const Opened opened = open_with(dir, "", R"({"tensors": {}})");
  ASSERT_TRUE(opened.file.has_value());
  EXPECT_EQ(opened.file->len(), 0u);
  EXPECT_EQ(opened.file->data(), nullptr);
  EXPECT_TRUE(opened.file->tensors().empty());
  EXPECT_NE(opened.stderr_text.find("(0 tensors)\n"), std::string::npos);
}

TEST(WeightFileTest, EntriesNeedPlainIntegerOffsetAndSize) {
  ScratchDir dir;
  const std::string data(64, 'x');
  for (const char* offset : {"\"4\"", "-4", "4.0", "4e0", "null"}) {
    const std::string manifest = std::string(R"({"tensors": {"t": {"offset": )") + offset + R"(, "size": 4}}})";
    EXPECT_EQ(config_error(open_with(dir, data, manifest)), "missing offset for tensor 't'") << offset;
  }
  EXPECT_EQ(config_error(open_with(dir, data, R"({"tensors": {"t": {"offset": 0, "size": 1.5}}})")),
            "missing size for tensor 't'");
  // Neither member: the offset is reported. Not an object: the same.
  EXPECT_EQ(config_error(open_with(dir, data, R"({"tensors": {"t": {}}})")), "missing offset for tensor 't'");
  EXPECT_EQ(config_error(open_with(dir, data, R"({"tensors": {"t": [0, 4]}})")), "missing offset for tensor 't'");
  // Of two faulty entries the one sorting first by bytes is reported ("Z" < "a").
  EXPECT_EQ(config_error(open_with(dir, data, R"({"tensors": {"a": {"size": 1}, "Z": {"offset": 0}}})")),
            "missing size for tensor 'Z'");
}

TEST(WeightFileTest, RangesMustLieInsideTheDataFile) {
  ScratchDir dir;
  const std::string data(64, 'x');
  EXPECT_TRUE(open_with(dir, data, R"({"tensors": {"t": {"offset": 60, "size": 4}}})").file.has_value());
  const std::string bin = (dir / "model_weights.bin").string();
  const std::string past = config_error(open_with(dir, data, R"({"tensors": {"t": {"offset": 61, "size": 4}}})"));
  EXPECT_NE(past.find("'t'"), std::string::npos) << past;
  EXPECT_NE(past.find(bin), std::string::npos) << past;
  // offset + size wraps around 64 bits: still rejected.
  const std::string wrapped = config_error(
      open_with(dir, data, R"({"tensors": {"w": {"offset": 18446744073709551615, "size": 2}}})"));
  EXPECT_NE(wrapped.find("'w'"), std::string::npos) << wrapped;
  EXPECT_FALSE(open_with(dir, data, R"({"tensors": {"s": {"offset": 0, "size": 18446744073709551615}}})").file);
}

TEST(WeightFileTest, ManifestShapeAndFileFailures) {
  ScratchDir dir;
  for (const char* manifest : {"[]", "{}", R"({"tensors": []})", R"({"tensors": 1})"}) {
    EXPECT_EQ(config_error(open_with(dir, "", manifest)), "No 'tensors' key in manifest") << manifest;
  }
  const std::string json = (dir / "model_weights.json").string();
  const std::string parse = config_error(open_with(dir, "", "{\"tensors\": {}"));
  EXPECT_EQ(parse.rfind("JSON parse error in " + json + ": ", 0), 0u) << parse;
  EXPECT_NE(parse.find("at line 1, column "), std::string::npos) << parse;

  // A missing data file fails first, keeping the not-found kind; the manifest is not looked at.
  ScratchDir empty;
  auto no_data = WeightFile::open(empty / "model_weights.bin", empty / "absent.json");
  ASSERT_FALSE(no_data.has_value());
  ASSERT_NE(no_data.error().io_error(), nullptr);
  EXPECT_EQ(no_data.error().io_error()->kind(), IoErrorKind::NotFound);
  EXPECT_EQ(no_data.error().to_string(),
            "I/O error: Cannot open " + (empty / "model_weights.bin").string() + ": No such file or directory (os error 2)");

  write_file(empty / "model_weights.bin", "abcd");
  auto no_manifest = WeightFile::open(empty / "model_weights.bin", empty / "absent.json");
  ASSERT_FALSE(no_manifest.has_value());
  EXPECT_EQ(no_manifest.error().io_error()->kind(), IoErrorKind::NotFound);
  EXPECT_EQ(no_manifest.error().to_string(),
            "I/O error: Cannot read " + (empty / "absent.json").string() + ": No such file or directory (os error 2)");
}

TEST(WeightFileTest, FailuresLeaveNoDescriptorOpen) {
  ScratchDir dir;
  const size_t before = open_descriptor_count();
  for (const char* manifest : {"[", "[]", R"({"tensors": {"t": {"offset": 9, "size": 9}}})"}) {
    EXPECT_FALSE(open_with(dir, "12345678", manifest).file.has_value());
  }
  EXPECT_FALSE(WeightFile::open(dir / "model_weights.bin", dir / "absent.json").has_value());
  EXPECT_EQ(open_descriptor_count(), before);
  {
    const Opened opened = open_with(dir, "12345678", R"({"tensors": {}})");
    ASSERT_TRUE(opened.file.has_value());
    EXPECT_EQ(open_descriptor_count(), before);  // the mapping outlives its descriptor
  }
}

TEST(WeightFileTest, ReportsDecimalGigabytesWithTwoDecimals) {
  ScratchDir dir;
  // A sparse file: 2^31 bytes of length, no blocks written.
  write_file(dir / "model_weights.bin", "");
  ASSERT_EQ(::truncate((dir / "model_weights.bin").c_str(), 2147483648LL), 0);
  write_file(dir / "model_weights.json", R"({"tensors": {"t": {"offset": 2147483644, "size": 4}}})");
  ::testing::internal::CaptureStderr();
  auto file = WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json");
  const std::string line = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(line, "[weights] mmap'd 2.15 GB from " + (dir / "model_weights.bin").string() + " (1 tensors)\n");
  EXPECT_EQ(file->len(), 2147483648u);
}

}  // namespace
}  // namespace varkel
