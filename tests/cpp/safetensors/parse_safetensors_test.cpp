#include <gtest/gtest.h>

#include "safetensors/safetensors.h"
#include "safetensors/safetensors_file.h"

namespace varkel {
namespace {

using Offsets = std::pair<uint64_t, uint64_t>;
constexpr const char* kShortRead = "failed to fill whole buffer";

auto parse_bytes(const std::vector<uint8_t>& bytes) {
  test::ScratchDir dir;
  test::write_file(dir / "m.safetensors", bytes);
  return parse_safetensors(dir / "m.safetensors");
}

TEST(ParseSafetensors, ReadsTensorsSkipsMetadataAndRejectsShortOffsets) {
  const std::string header =
      R"({"__metadata__": {"format": "pt"}, "b": {"dtype": "BF16", "shape": [2, 3], "data_offsets": [4, 16]},)"
      R"( "odd": {"shape": [2, -1, "x", 7], "data_offsets": [3, 7, 99]}}  )";
  const auto h = parse_bytes(test::safetensors_bytes(header, std::vector<uint8_t>(16, 7)));
  ASSERT_TRUE(h) << h.error();
  EXPECT_EQ(h->data_start, 8 + header.size());
  ASSERT_EQ(h->tensors.size(), 2u);
  EXPECT_EQ(h->tensors.at("b").dtype, "BF16");
  EXPECT_EQ(h->tensors.at("b").shape, (std::vector<std::size_t>{2, 3}));
  EXPECT_EQ(h->tensors.at("b").data_offsets, (Offsets{4, 16}));
  EXPECT_EQ(h->tensors.at("odd").shape, (std::vector<std::size_t>{2, 0, 0, 7}));
  EXPECT_EQ(h->tensors.at("odd").data_offsets, (Offsets{3, 7}));

  const auto one = parse_bytes(test::safetensors_bytes(R"({"x": {"data_offsets": [12]}})"));
  ASSERT_FALSE(one);
  EXPECT_EQ(one.error(), "tensor 'x': \"data_offsets\" has 1 entries, expected 2");
  const auto bad_json = parse_bytes(test::safetensors_bytes("{\"a\"\n: [1, 2"));
  ASSERT_FALSE(bad_json);
  EXPECT_NE(bad_json.error().find("line 2, column "), std::string::npos) << bad_json.error();
}

TEST(ParseSafetensors, ShortFilesAndHostileLengthsFailWithTheShortReadText) {
  const std::string header = R"({"a": {}})";
  const std::vector<std::vector<uint8_t>> files = {
      {},
      {1, 0, 0, 0, 0, 0, 0},
      test::safetensors_bytes(header.size() + 1, header),
      test::safetensors_bytes(~uint64_t{0}, header),
      test::safetensors_bytes(uint64_t{1} << 63, header),
      test::safetensors_bytes(uint64_t{1} << 40, header),
  };
  const std::size_t descriptors = testing_support::open_descriptor_count();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto result = parse_bytes(files[i]);
    ASSERT_FALSE(result) << i;
    EXPECT_EQ(result.error(), kShortRead) << i;
  }
  EXPECT_EQ(testing_support::open_descriptor_count(), descriptors) << "a failed parse left its file open";
}

}  // namespace
}  // namespace varkel
