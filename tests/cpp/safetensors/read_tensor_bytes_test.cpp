#include <gtest/gtest.h>

#include "safetensors/safetensors.h"
#include "safetensors/safetensors_file.h"

namespace varkel {
namespace {

constexpr const char* kShortRead = "failed to fill whole buffer";

TEST(ReadTensorBytes, DeclaredRangesAndHostileOnes) {
  const std::string text = R"({"w": {"data_offsets": [16, 24]}, "backwards": {"data_offsets": [12, 4]},)"
                           R"( "empty": {"data_offsets": [5, 5]}, "past_end": {"data_offsets": [30, 33]},)"
                           R"( "huge": {"data_offsets": [0, 18446744073709551615]},)"
                           R"( "overflow": {"data_offsets": [18446744073709551615, 18446744073709551615]}})";
  std::vector<uint8_t> file = test::safetensors_bytes(text);
  for (int i = 0; i < 32; ++i) file.push_back(static_cast<uint8_t>(i * 7 + 1));
  test::ScratchDir dir;
  const auto path = dir / "model.safetensors";
  test::write_file(path, file);
  const auto header = parse_safetensors(path).value_or(SafetensorsHeader{});
  ASSERT_EQ(header.tensors.size(), 6u);

  const auto w = read_tensor_bytes(path, header, "w");
  ASSERT_TRUE(w) << w.error();
  EXPECT_EQ(*w, std::vector<uint8_t>(file.end() - 16, file.end() - 8));
  EXPECT_TRUE(read_tensor_bytes(path, header, "empty").value_or(std::vector<uint8_t>{1}).empty());

  const std::pair<const char*, std::string> cases[] = {
      {"backwards", "tensor 'backwards': \"data_offsets\" end 4 is below begin 12"},
      {"past_end", kShortRead},
      {"huge", kShortRead},
      {"overflow", "Invalid argument (os error 22)"},
      {"w.scales", "tensor 'w.scales' not found in " + path.string()},
  };
  const std::size_t descriptors = testing_support::open_descriptor_count();
  for (const auto& [name, message] : cases) {
    const auto result = read_tensor_bytes(path, header, name);
    ASSERT_FALSE(result) << name;
    EXPECT_EQ(result.error(), message) << name;
  }
  EXPECT_EQ(testing_support::open_descriptor_count(), descriptors) << "a failed read left its file open";

  // A file that shrank after parsing gives a short read.
  test::write_file(path, std::vector<uint8_t>(file.begin(), file.end() - 12));
  const auto shrunk = read_tensor_bytes(path, header, "w");
  ASSERT_FALSE(shrunk);
  EXPECT_EQ(shrunk.error(), kShortRead);
}

}  // namespace
}  // namespace varkel
