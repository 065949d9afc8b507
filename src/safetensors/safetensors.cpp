#include "safetensors/safetensors.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "safetensors/input_file.h"

namespace varkel {

namespace {

using nlohmann::json;

uint64_t unsigned_or_zero(const json& value) { return value.is_number_unsigned() ? value.get<uint64_t>() : 0; }

// Lenient about everything but a "data_offsets" array that is too short.
std::expected<TensorMeta, std::string> tensor_meta(const std::string& name, const json& value) {
  TensorMeta meta;
  if (!value.is_object()) return meta;
  if (auto it = value.find("dtype"); it != value.end() && it->is_string()) meta.dtype = it->get<std::string>();
  if (auto it = value.find("shape"); it != value.end() && it->is_array()) {
    meta.shape.reserve(it->size());
    for (const json& dim : *it) meta.shape.push_back(static_cast<std::size_t>(unsigned_or_zero(dim)));
  }
  if (auto it = value.find("data_offsets"); it != value.end() && it->is_array()) {
    if (it->size() < 2) {
      return std::unexpected(
          fmt::format("tensor '{}': \"data_offsets\" has {} entries, expected 2", name, it->size()));
    }
    meta.data_offsets = {unsigned_or_zero((*it)[0]), unsigned_or_zero((*it)[1])};
  }
  return meta;
}

}  // namespace

std::expected<SafetensorsHeader, std::string> parse_safetensors(const std::filesystem::path& path) {
  auto file = detail::InputFile::open(path);
  if (!file) return std::unexpected(std::move(file.error()));
  uint8_t length_bytes[8];
  if (auto read = file->read_exact(length_bytes, sizeof length_bytes); !read) {
    return std::unexpected(std::move(read.error()));
  }
  uint64_t header_length = 0;
  for (int i = 7; i >= 0; --i) header_length = (header_length << 8) | length_bytes[i];
  auto text = file->read_bytes(header_length);
  if (!text) return std::unexpected(std::move(text.error()));

  json root;
  // The library would skip a leading byte order mark; a JSON header has none.
  if (text->size() >= 3 && (*text)[0] == 0xEF && (*text)[1] == 0xBB && (*text)[2] == 0xBF) {
    return std::unexpected(std::string("parse error at line 1, column 1: syntax error while parsing value - byte order mark"));
  }
  try {
    root = json::parse(text->begin(), text->end());
  } catch (const json::exception& error) {
    return std::unexpected(std::string(error.what()));
  }

  SafetensorsHeader header;
  header.data_start = 8 + header_length;
  if (!root.is_object()) return header;
  for (const auto& [name, value] : root.items()) {
    if (name == "__metadata__") continue;
    auto meta = tensor_meta(name, value);
    if (!meta) return std::unexpected(std::move(meta.error()));
    header.tensors.insert_or_assign(name, std::move(*meta));
  }
  return header;
}

std::expected<std::vector<uint8_t>, std::string> read_tensor_bytes(const std::filesystem::path& path,
                                                                   const SafetensorsHeader& header,
                                                                   std::string_view name) {
  const auto found = header.tensors.find(std::string(name));
  if (found == header.tensors.end()) return std::unexpected(fmt::format("tensor '{}' not found in {}", name, path.string()));
  const auto [begin, end] = found->second.data_offsets;
  if (end < begin) {
    return std::unexpected(fmt::format("tensor '{}': \"data_offsets\" end {} is below begin {}", name, end, begin));
  }
  auto file = detail::InputFile::open(path);
  if (!file) return std::unexpected(std::move(file.error()));
  uint64_t offset = 0;
  // An offset past what a file position can hold fails as the seek would.
  if (__builtin_add_overflow(header.data_start, begin, &offset)) offset = ~uint64_t{0};
  if (auto seek = file->seek(offset); !seek) return std::unexpected(std::move(seek.error()));
  return file->read_bytes(end - begin);
}

}  // namespace varkel
