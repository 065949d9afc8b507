#include <gtest/gtest.h>

#include "safetensors/safetensors.h"
#include "safetensors/safetensors_file.h"

namespace varkel {
namespace {

constexpr const char* kShortRead = "failed to fill whole buffer";

std::vector<uint8_t> counting_bytes(std::size_t n) {
  std::vector<uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

class ReadTensorBytes : public testing::Test {
 protected:
  void SetUp() override {
    header_text_ = R"({"w": {"dtype": "F32", "shape": [2], "data_offsets": [16, 24]},)"
                   R"( "overlap": {"data_offsets": [20, 28]}, "backwards": {"data_offsets": [12, 4]},)"
                   R"( "empty": {"data_offsets": [5, 5]}, "no_offsets": {"dtype": "F32"},)"
                   R"( "past_end": {"data_offsets": [30, 33]}, "far": {"data_offsets": [1000, 1000]},)"
                   R"( "huge": {"data_offsets": [0, 18446744073709551615]},)"
                   R"( "overflow": {"data_offsets": [18446744073709551615, 18446744073709551615]},)"
                   R"( "beyond_off_t": {"data_offsets": [9223372036854775800, 9223372036854775810]}})";
    file_ = counting_bytes(8 + header_text_.size() + 32);
    const auto prefix = test::safetensors_bytes(header_text_);
    std::copy(prefix.begin(), prefix.end(), file_.begin());
    path_ = dir_ / "model.safetensors";
    test::write_file(path_, file_);
    header_ = parse_safetensors(path_).value_or(SafetensorsHeader{});
    ASSERT_EQ(header_.tensors.size(), 10u);
  }

  std::vector<uint8_t> file_range(std::size_t begin, std::size_t end) const {
    return {file_.begin() + static_cast<std::ptrdiff_t>(begin), file_.begin() + static_cast<std::ptrdiff_t>(end)};
  }

  test::ScratchDir dir_;
  std::string header_text_;
  std::vector<uint8_t> file_;
  std::filesystem::path path_;
  SafetensorsHeader header_;
};

TEST_F(ReadTensorBytes, ReadsExactlyTheDeclaredRangeOfTheDataArea) {
  const std::size_t n = header_text_.size();
  ASSERT_EQ(header_.data_start, 8 + n);
  const auto w = read_tensor_bytes(path_, header_, "w");
  ASSERT_TRUE(w) << w.error();
  EXPECT_EQ(*w, file_range(24 + n, 32 + n));  // file bytes 24 + N to 31 + N
  // Overlapping and out-of-order ranges are read as declared.
  const auto overlap = read_tensor_bytes(path_, header_, "overlap");
  ASSERT_TRUE(overlap) << overlap.error();
  EXPECT_EQ(*overlap, file_range(28 + n, 36 + n));
  for (const char* name : {"empty", "no_offsets", "far"}) {
    const auto result = read_tensor_bytes(path_, header_, name);
    ASSERT_TRUE(result) << name << ": " << result.error();
    EXPECT_TRUE(result->empty()) << name;
  }
}

TEST_F(ReadTensorBytes, BadRangesFailBeforeAnythingIsAllocated) {
  const std::pair<const char*, std::string> cases[] = {
      {"backwards", "tensor 'backwards': \"data_offsets\" end 4 is below begin 12"},
      {"past_end", kShortRead},
      {"huge", kShortRead},                          // 16 EiB would be asked for
      {"overflow", "Invalid argument (os error 22)"},  // data start + begin does not fit
      {"beyond_off_t", "Invalid argument (os error 22)"},
  };
  const std::size_t descriptors = testing_support::open_descriptor_count();
  for (const auto& [name, message] : cases) {
    const auto result = read_tensor_bytes(path_, header_, name);
    ASSERT_FALSE(result) << name;
    EXPECT_EQ(result.error(), message) << name;
  }
  EXPECT_EQ(testing_support::open_descriptor_count(), descriptors) << "a failed read left its file open";
  // A hand-made header with a range far past the file's end.
  SafetensorsHeader forged;
  forged.data_start = 8;
  forged.tensors["t"].data_offsets = {0, uint64_t{1} << 40};
  const auto forged_result = read_tensor_bytes(path_, forged, "t");
  ASSERT_FALSE(forged_result);
  EXPECT_EQ(forged_result.error(), kShortRead);
}

TEST_F(ReadTensorBytes, MissingNamesAndFilesAreReported) {
  const auto absent = read_tensor_bytes(path_, header_, "w.scales");
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error(), "tensor 'w.scales' not found in " + path_.string());
  // A missing name is reported without opening the file.
  const auto unopened = read_tensor_bytes("no/such/file.safetensors", header_, "x");
  ASSERT_FALSE(unopened);
  EXPECT_EQ(unopened.error(), "tensor 'x' not found in no/such/file.safetensors");
  // The file is opened anew for every read.
  std::filesystem::remove(path_);
  const auto gone = read_tensor_bytes(path_, header_, "w");
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error(), "No such file or directory (os error 2)");
  // A file that shrank after parsing gives a short read.
  test::write_file(path_, file_range(0, 8 + header_text_.size() + 20));
  const auto shrunk = read_tensor_bytes(path_, header_, "w");
  ASSERT_FALSE(shrunk);
  EXPECT_EQ(shrunk.error(), kShortRead);
}

}  // namespace
}  // namespace varkel
