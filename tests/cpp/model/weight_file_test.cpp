#include <gtest/gtest.h>

#include <cstdlib>

#include "common/test_files.h"
#include "model/io/memory_headroom.h"
#include "model/weights/weight_file.h"

namespace varkel {
namespace {

using testing_support::ScratchDir;
using testing_support::write_file;

Result<WeightFile> open_with(const ScratchDir& dir, std::string_view data, std::string_view manifest) {
  write_file(dir / "model_weights.bin", data);
  write_file(dir / "model_weights.json", manifest);
  ::testing::internal::CaptureStderr();
  auto file = WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json");
  ::testing::internal::GetCapturedStderr();
  return file;
}

std::string config_error(const Result<WeightFile>& file) {
  EXPECT_FALSE(file.has_value());
  if (file) return {};
  EXPECT_EQ(file.error().kind(), MoEError::Kind::Config);
  return file.error().message();
}

TEST(WeightFileTest, ManifestRulesAndMessages) {
  ScratchDir dir;
  const std::string data(64, 'x');
  for (const char* offset : {"\"4\"", "-4", "4.0", "null"}) {
    EXPECT_EQ(config_error(open_with(dir, data, std::string(R"({"tensors": {"t": {"offset": )") + offset +
                                                    R"(, "size": 4}}})")),
              "missing offset for tensor 't'") << offset;
  }
  EXPECT_EQ(config_error(open_with(dir, data, R"({"tensors": {"t": {"offset": 0, "size": 1.5}}})")),
            "missing size for tensor 't'");
  EXPECT_EQ(config_error(open_with(dir, data, R"({"tensors": {"t": [0, 4]}})")), "missing offset for tensor 't'");
  // The entry sorting first by bytes is reported ("Z" < "a").
  EXPECT_EQ(config_error(open_with(dir, data, R"({"tensors": {"a": {"size": 1}, "Z": {"offset": 0}}})")),
            "missing size for tensor 'Z'");
  for (const char* manifest : {"[]", R"({"tensors": []})"}) {
    EXPECT_EQ(config_error(open_with(dir, "", manifest)), "No 'tensors' key in manifest") << manifest;
  }
  const std::string parse = config_error(open_with(dir, "", "{\"tensors\": {}"));
  EXPECT_EQ(parse.rfind("JSON parse error in " + (dir / "model_weights.json").string() + ": ", 0), 0u) << parse;
}

TEST(WeightFileTest, RangesMustLieInsideTheDataFile) {
  ScratchDir dir;
  const std::string data(64, 'x');
  EXPECT_TRUE(open_with(dir, data, R"({"tensors": {"t": {"offset": 60, "size": 4}}})").has_value());
  for (const char* range : {R"({"offset": 61, "size": 4})", R"({"offset": 18446744073709551615, "size": 2})",
                            R"({"offset": 0, "size": 18446744073709551615})"}) {
    const std::string error = config_error(open_with(dir, data, std::string(R"({"tensors": {"t": )") + range + "}}"));
    EXPECT_NE(error.find("'t'"), std::string::npos) << error;
    EXPECT_NE(error.find((dir / "model_weights.bin").string()), std::string::npos) << error;
  }
}

// The weights' lock counts in what the process has locked while the file is
// open, moves with it, and is given back when the file is released.
TEST(WeightFileTest, ItsLockCountsWhileTheFileLives) {
  ScratchDir dir;
  const std::string data(8192, 'x');
  ASSERT_EQ(committed_lock_bytes(), 0u);
  const auto open = [&](const char* lock) {
    if (lock != nullptr) ::setenv("VARKEL_LOCK_WEIGHTS", lock, 1);
    auto file = open_with(dir, data, R"({"tensors": {}})");
    ::unsetenv("VARKEL_LOCK_WEIGHTS");
    return file;
  };
  auto off = open(nullptr);  // locking is asked for, never the default
  ASSERT_TRUE(off.has_value());
  EXPECT_FALSE(off->locked());
  EXPECT_EQ(committed_lock_bytes(), 0u);
  {
    auto file = open("1");
    ASSERT_TRUE(file.has_value());
    if (!file->locked()) GTEST_SKIP() << "no room or no limit here to lock 8 KiB";
    EXPECT_EQ(committed_lock_bytes(), data.size());
    WeightFile moved = std::move(*file);
    EXPECT_TRUE(moved.locked());
    EXPECT_EQ(committed_lock_bytes(), data.size());
    moved = std::move(*off);  // the file replaced by one that holds no lock
    EXPECT_FALSE(moved.locked());
    EXPECT_EQ(committed_lock_bytes(), 0u);
    auto again = open("1");
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(again->locked());
  }
  EXPECT_EQ(committed_lock_bytes(), 0u);
}

}  // namespace
}  // namespace varkel
