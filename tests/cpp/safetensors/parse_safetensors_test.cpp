#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "safetensors/safetensors.h"
#include "safetensors/safetensors_file.h"

namespace varkel {
namespace {

using Shape = std::vector<std::size_t>;
using Offsets = std::pair<uint64_t, uint64_t>;

constexpr const char* kShortRead = "failed to fill whole buffer";

// The parser's own message for a text, for comparing error texts passed through.
std::string json_error_text(const std::string& text) {
  try {
    const auto value = nlohmann::json::parse(text);
    return "(parsed " + value.dump() + ")";
  } catch (const nlohmann::json::exception& error) {
    return error.what();
  }
}

// `bytes` written to a file of their own, then parsed.
auto parse_bytes(const std::vector<uint8_t>& bytes) {
  test::ScratchDir dir;
  test::write_file(dir / "m.safetensors", bytes);
  return parse_safetensors(dir / "m.safetensors");
}

SafetensorsHeader parsed(const std::vector<uint8_t>& bytes) {
  auto header = parse_bytes(bytes);
  if (!header) {
    ADD_FAILURE() << header.error();
    return {};
  }
  return std::move(*header);
}

TEST(ParseSafetensors, ReadsEveryTensorAndSkipsMetadata) {
  const std::string header =
      R"({"__metadata__": {"dtype": "F32", "shape": [1], "data_offsets": [0, 4]},)"
      R"( "b.weight": {"dtype": "BF16", "shape": [2, 3], "data_offsets": [4, 16]},)"
      R"( "a": {"dtype": "F32", "shape": [1], "data_offsets": [0, 4], "extra": true}}   )"
      "\n\t ";
  const auto h = parsed(test::safetensors_bytes(header, std::vector<uint8_t>(16, 7)));
  EXPECT_EQ(h.data_start, 8 + header.size());
  ASSERT_EQ(h.tensors.size(), 2u);
  EXPECT_FALSE(h.tensors.contains("__metadata__"));
  const TensorMeta& b = h.tensors.at("b.weight");
  EXPECT_EQ(b.dtype, "BF16");
  EXPECT_EQ(b.shape, (Shape{2, 3}));
  EXPECT_EQ(b.data_offsets, (Offsets{4, 16}));
  EXPECT_EQ(h.tensors.at("a").data_offsets, (Offsets{0, 4}));

  EXPECT_TRUE(parsed(test::safetensors_bytes(R"({"__metadata__": {"format": "pt"}})")).tensors.empty());
}

TEST(ParseSafetensors, LenientAboutEverythingButShortOffsets) {
  const std::string header = R"({
    "odd_shape": {"dtype": "F16", "shape": [2, -1, 1.5, "x", 1e2, null, 18446744073709551616, 7]},
    "no_dtype": {"shape": [4], "data_offsets": [3, 7, 99]},
    "number_dtype": {"dtype": 5, "shape": "4", "data_offsets": {"0": 1, "1": 2}},
    "bad_entries": {"dtype": "", "data_offsets": ["8", -2.0]},
    "half_bad": {"data_offsets": [1.0, 9]},
    "not_object": [1, 2],
    "scalar": 12,
    "dup": {"dtype": "F32", "data_offsets": [0, 4]},
    "dup": {"dtype": "BF16", "data_offsets": [4, 6]}
  })";
  const auto h = parsed(test::safetensors_bytes(header));
  ASSERT_EQ(h.tensors.size(), 8u);
  const auto& odd = h.tensors.at("odd_shape");
  EXPECT_EQ(odd.shape, (Shape{2, 0, 0, 0, 0, 0, 0, 7}));
  EXPECT_EQ(odd.dtype, "F16");
  EXPECT_EQ(odd.data_offsets, (Offsets{0, 0}));  // missing
  EXPECT_EQ(h.tensors.at("no_dtype").dtype, "");
  EXPECT_EQ(h.tensors.at("no_dtype").data_offsets, (Offsets{3, 7}));
  const auto& number = h.tensors.at("number_dtype");
  EXPECT_EQ(number.dtype, "");
  EXPECT_TRUE(number.shape.empty());
  EXPECT_EQ(number.data_offsets, (Offsets{0, 0}));  // an object, not an array
  EXPECT_EQ(h.tensors.at("bad_entries").data_offsets, (Offsets{0, 0}));
  EXPECT_EQ(h.tensors.at("half_bad").data_offsets, (Offsets{0, 9}));
  for (const char* name : {"not_object", "scalar"}) {
    const auto& meta = h.tensors.at(name);
    EXPECT_EQ(meta.dtype, "");
    EXPECT_TRUE(meta.shape.empty());
    EXPECT_EQ(meta.data_offsets, (Offsets{0, 0}));
  }
  // A key given twice keeps its last value.
  EXPECT_EQ(h.tensors.at("dup").dtype, "BF16");
  EXPECT_EQ(h.tensors.at("dup").data_offsets, (Offsets{4, 6}));
  // Offsets up to the largest unsigned 64-bit value are kept as they are.
  EXPECT_EQ(parsed(test::safetensors_bytes(R"({"t": {"data_offsets": [18446744073709551615, 1]}})")).tensors.at("t").data_offsets, (Offsets{~uint64_t{0}, 1}));
}

TEST(ParseSafetensors, OffsetsWithFewerThanTwoEntriesFailNamingTheTensor) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"a": {"data_offsets": [0, 4]}, "layers.0.w": {"data_offsets": []}})",
       "tensor 'layers.0.w': \"data_offsets\" has 0 entries, expected 2"},
      {R"({"x": {"dtype": "F32", "data_offsets": [12]}})", "tensor 'x': \"data_offsets\" has 1 entries, expected 2"},
  };
  for (const auto& [header, message] : cases) {
    const auto result = parse_bytes(test::safetensors_bytes(header));
    ASSERT_FALSE(result) << header;
    EXPECT_EQ(result.error(), message);
  }
}

TEST(ParseSafetensors, RootsOtherThanObjectsGiveAnEmptyTable) {
  for (const std::string header : {"[1, 2, {\"a\": {}}]", "42", "\"text\"", "null", "  true  "}) {
    const auto h = parsed(test::safetensors_bytes(header, {1, 2, 3}));
    EXPECT_TRUE(h.tensors.empty()) << header;
    EXPECT_EQ(h.data_start, 8 + header.size()) << header;
  }
  // Deep nesting is parsed without exhausting the stack.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  EXPECT_TRUE(parsed(test::safetensors_bytes(deep)).tensors.empty());
}

TEST(ParseSafetensors, JsonErrorsCarryTheParsersLineAndColumnText) {
  for (const std::string header : {"", "{\"a\": }", "{} x", "{\"a\": {}}\n,", "{\"a\"\n: [1, 2"}) {
    const auto result = parse_bytes(test::safetensors_bytes(header, {0, 0, 0, 0}));
    ASSERT_FALSE(result) << header;
    EXPECT_EQ(result.error(), json_error_text(header));
    EXPECT_NE(result.error().find("line "), std::string::npos) << result.error();
    EXPECT_NE(result.error().find("column "), std::string::npos) << result.error();
  }
  // N = 0: the parser's end-of-input error at line 1, column 1.
  const auto zero = parse_bytes(test::safetensors_bytes(0, "", {'{', '}'}));
  ASSERT_FALSE(zero);
  EXPECT_NE(zero.error().find("line 1, column 1"), std::string::npos) << zero.error();
  EXPECT_NE(zero.error().find("end of input"), std::string::npos) << zero.error();
  // A byte order mark is not whitespace before the value.
  const auto bom = parse_bytes(test::safetensors_bytes("\xEF\xBB\xBF{}"));
  ASSERT_FALSE(bom);
  EXPECT_NE(bom.error().find("line 1, column 1"), std::string::npos) << bom.error();
}

TEST(ParseSafetensors, ShortFilesAndHostileLengthsFailWithTheShortReadText) {
  const std::string header = R"({"a": {}})";
  const std::vector<std::vector<uint8_t>> files = {
      {},
      {1, 0, 0, 0, 0, 0, 0},                                       // 7 bytes
      test::safetensors_bytes(header.size() + 1, header),         // one byte short
      test::safetensors_bytes(~uint64_t{0}, header),              // would be a 16 EiB buffer
      test::safetensors_bytes(uint64_t{1} << 63, header),
      test::safetensors_bytes(uint64_t{1} << 40, header),         // 1 TiB: more than the machine has
  };
  const std::size_t descriptors = testing_support::open_descriptor_count();
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto result = parse_bytes(files[i]);
    ASSERT_FALSE(result) << i;
    EXPECT_EQ(result.error(), kShortRead) << i;
  }
  EXPECT_EQ(testing_support::open_descriptor_count(), descriptors) << "a failed parse left its file open";
}

TEST(ParseSafetensors, OpenAndReadErrorsShowTheSystemsText) {
  test::ScratchDir dir;
  const auto missing = parse_safetensors(dir / "absent.safetensors");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "No such file or directory (os error 2)");
  // A directory opens, then fails on the first read.
  const auto directory = parse_safetensors(dir.path());
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error(), "Is a directory (os error 21)");
}

// A pipe has no size to check against: the header is read in bounded chunks.
TEST(ParseSafetensors, PipesAreReadUntilTheyEnd) {
  ::signal(SIGPIPE, SIG_IGN);  // a failing read must not kill the writer's process
  test::ScratchDir dir;
  const auto fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto feed = [&](std::vector<uint8_t> bytes) {
    return std::jthread([fifo, bytes = std::move(bytes)] {
      const int fd = ::open(fifo.c_str(), O_WRONLY);
      if (fd < 0) return;
      std::size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::close(fd);
    });
  };
  {
    std::string header = R"({"w": {"dtype": "F32", "shape": [1], "data_offsets": [0, 4]}})";
    header.append(3 << 20, ' ');  // several chunks
    auto writer = feed(test::safetensors_bytes(header, {0, 0, 0x80, 0x3F}));
    const auto h = parse_safetensors(fifo);
    ASSERT_TRUE(h) << h.error();
    EXPECT_EQ(h->data_start, 8 + header.size());
    EXPECT_EQ(h->tensors.at("w").data_offsets, (Offsets{0, 4}));
  }
  {
    auto writer = feed(test::safetensors_bytes(uint64_t{1} << 62, std::string(100, ' ')));
    const auto result = parse_safetensors(fifo);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), kShortRead);
  }
}

}  // namespace
}  // namespace varkel
