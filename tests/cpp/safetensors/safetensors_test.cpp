// The safetensors reader: headers, tensor ranges and value conversion, on files built byte by byte.
#include <bit>

#include <gtest/gtest.h>

#include "common/test_files.h"
#include "safetensors/safetensors.h"

namespace varkel {
namespace {

using testing_support::ScratchDir;
using testing_support::write_file;
using Offsets = std::pair<uint64_t, uint64_t>;
constexpr const char* kShortRead = "failed to fill whole buffer";

// Length prefix (as given), header text, data area.
std::vector<uint8_t> safetensors_bytes(uint64_t declared_length, const std::string& header,
                                       const std::vector<uint8_t>& data = {}) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 64; i += 8) bytes.push_back(static_cast<uint8_t>(declared_length >> i));
  bytes.insert(bytes.end(), header.begin(), header.end());
  bytes.insert(bytes.end(), data.begin(), data.end());
  return bytes;
}

std::vector<uint8_t> safetensors_bytes(const std::string& header, const std::vector<uint8_t>& data = {}) {
  return safetensors_bytes(header.size(), header, data);
}

auto parse_bytes(const std::vector<uint8_t>& bytes) {
  ScratchDir dir;
  write_file(dir / "m.safetensors", bytes);
  return parse_safetensors(dir / "m.safetensors");
}

TEST(ParseSafetensors, ReadsTensorsSkipsMetadataAndRejectsShortOffsets) {
  const std::string header =
      R"({"__metadata__": {"format": "pt"}, "b": {"dtype": "BF16", "shape": [2, 3], "data_offsets": [4, 16]},)"
      R"( "odd": {"shape": [2, -1, "x", 7], "data_offsets": [3, 7, 99]}}  )";
  const auto h = parse_bytes(safetensors_bytes(header, std::vector<uint8_t>(16, 7)));
  ASSERT_TRUE(h) << h.error();
  EXPECT_EQ(h->data_start, 8 + header.size());
  ASSERT_EQ(h->tensors.size(), 2u);
  EXPECT_EQ(h->tensors.at("b").dtype, "BF16");
  EXPECT_EQ(h->tensors.at("b").shape, (std::vector<std::size_t>{2, 3}));
  EXPECT_EQ(h->tensors.at("b").data_offsets, (Offsets{4, 16}));
  EXPECT_EQ(h->tensors.at("odd").shape, (std::vector<std::size_t>{2, 0, 0, 7}));
  EXPECT_EQ(h->tensors.at("odd").data_offsets, (Offsets{3, 7}));

  const auto one = parse_bytes(safetensors_bytes(R"({"x": {"data_offsets": [12]}})"));
  ASSERT_FALSE(one);
  EXPECT_EQ(one.error(), "tensor 'x': \"data_offsets\" has 1 entries, expected 2");
  const auto bad_json = parse_bytes(safetensors_bytes("{\"a\"\n: [1, 2"));
  ASSERT_FALSE(bad_json);
  EXPECT_NE(bad_json.error().find("line 2, column "), std::string::npos) << bad_json.error();
}

TEST(ParseSafetensors, ShortFilesAndHostileLengthsFailWithTheShortReadText) {
  const std::string header = R"({"a": {}})";
  const std::vector<std::vector<uint8_t>> files = {
      {},
      {1, 0, 0, 0, 0, 0, 0},
      safetensors_bytes(header.size() + 1, header),
      safetensors_bytes(~uint64_t{0}, header),
      safetensors_bytes(uint64_t{1} << 63, header),
      safetensors_bytes(uint64_t{1} << 40, header),
  };
  const std::size_t descriptors = testing_support::open_descriptor_count();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto result = parse_bytes(files[i]);
    ASSERT_FALSE(result) << i;
    EXPECT_EQ(result.error(), kShortRead) << i;
  }
  EXPECT_EQ(testing_support::open_descriptor_count(), descriptors) << "a failed parse left its file open";
}

TEST(ReadTensorBytes, DeclaredRangesAndHostileOnes) {
  const std::string text = R"({"w": {"data_offsets": [16, 24]}, "backwards": {"data_offsets": [12, 4]},)"
                           R"( "empty": {"data_offsets": [5, 5]}, "past_end": {"data_offsets": [30, 33]},)"
                           R"( "huge": {"data_offsets": [0, 18446744073709551615]},)"
                           R"( "overflow": {"data_offsets": [18446744073709551615, 18446744073709551615]}})";
  std::vector<uint8_t> file = safetensors_bytes(text);
  for (int i = 0; i < 32; ++i) file.push_back(static_cast<uint8_t>(i * 7 + 1));
  ScratchDir dir;
  const auto path = dir / "model.safetensors";
  write_file(path, file);
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
  write_file(path, std::vector<uint8_t>(file.begin(), file.end() - 12));
  const auto shrunk = read_tensor_bytes(path, header, "w");
  ASSERT_FALSE(shrunk);
  EXPECT_EQ(shrunk.error(), kShortRead);
}

std::vector<uint8_t> le16s(const std::vector<uint16_t>& values) {
  std::vector<uint8_t> bytes;
  for (uint16_t v : values) bytes.insert(bytes.end(), {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)});
  return bytes;
}

std::vector<uint32_t> bits(const std::vector<float>& values) {
  std::vector<uint32_t> out;
  for (float v : values) out.push_back(std::bit_cast<uint32_t>(v));
  return out;
}

TEST(BytesToF32, F16Bf16AndF32Anchors) {
  // F32: bits copied, NaN payload kept; a trailing partial element is dropped.
  EXPECT_EQ(bits(bytes_to_f32(std::vector<uint8_t>{0x01, 0x00, 0xC0, 0xFF, 0x00, 0x00, 0x00, 0x80, 0x11}, "F32")),
            (std::vector<uint32_t>{0xFFC00001u, 0x80000000u}));
  // F16: normal, negative, largest, smallest subnormal, smallest normal, -0, inf, signalling NaN shifted.
  EXPECT_EQ(bits(bytes_to_f32(le16s({0x3C00, 0xC000, 0x7BFF, 0x0001, 0x0400, 0x8000, 0x7C00, 0xFC01}), "F16")),
            (std::vector<uint32_t>{0x3F800000u, 0xC0000000u, std::bit_cast<uint32_t>(65504.0f), 0x33800000u,
                                   0x38800000u, 0x80000000u, 0x7F800000u, 0xFF802000u}));
  EXPECT_EQ(bytes_to_f32(std::vector<uint8_t>{0x00, 0x3C, 0x00}, "F16").size(), 1u);
  // Every other type text reads as BF16.
  for (const char* dtype : {"BF16", "f16", "F64", "", "F32 "}) {
    EXPECT_EQ(bits(bytes_to_f32(le16s({0x3F80, 0xC049, 0x7FC1, 0x0001}), dtype)),
              (std::vector<uint32_t>{0x3F800000u, 0xC0490000u, 0x7FC10000u, 0x00010000u}))
        << dtype;
  }
}

}  // namespace
}  // namespace varkel
