#pragma once
// Builds small converted model directories: config, an empty weight file, and raw or
// LZ4 expert files whose records follow a known pattern.

#include <lz4.h>

#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "common/test_files.h"

namespace varkel::testing_support {

// hidden 64, intermediate 64: 3·2048 + 8·1·64 + 4·1·64 bytes per expert.
inline constexpr uint64_t kSmallExpertSize = 6912;
inline constexpr uint32_t kSmallExperts = 8;

// Record bytes of (layer, expert): distinct per expert, partly repetitive so LZ4 finds matches.
inline std::vector<uint8_t> expert_record(size_t layer, size_t expert, uint64_t size = kSmallExpertSize) {
  std::vector<uint8_t> record(size);
  uint32_t state = static_cast<uint32_t>(layer * 1000 + expert + 1) * 2654435761u;
  for (size_t i = 0; i < size; ++i) {
    if (i % 64 < 32) {
      state = state * 1664525u + 1013904223u;
      record[i] = static_cast<uint8_t>(state >> 24);
    } else {
      record[i] = static_cast<uint8_t>(expert * 16 + layer);
    }
  }
  return record;
}

inline std::vector<uint8_t> compress_block(const std::vector<uint8_t>& record) {
  std::vector<uint8_t> block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(record.size()))));
  const int n = LZ4_compress_default(reinterpret_cast<const char*>(record.data()), reinterpret_cast<char*>(block.data()),
                                     static_cast<int>(record.size()), static_cast<int>(block.size()));
  block.resize(static_cast<size_t>(n));
  return block;
}

// count, N + 1 offsets, then the blocks.
inline std::string lz4_file(uint32_t count, const std::vector<std::vector<uint8_t>>& blocks) {
  std::string out;
  append_u32(out, count);
  uint32_t offset = 0;
  append_u32(out, 0);
  for (const auto& block : blocks) {
    offset += static_cast<uint32_t>(block.size());
    append_u32(out, offset);
  }
  for (const auto& block : blocks) out.append(block.begin(), block.end());
  return out;
}

inline std::string layer_file_name(size_t layer) { return fmt::format("layer_{:02}.bin", layer); }

inline void write_raw_layer(const ScratchDir& dir, size_t layer, size_t experts = kSmallExperts) {
  std::vector<uint8_t> bytes;
  for (size_t e = 0; e < experts; ++e) {
    const auto record = expert_record(layer, e);
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  write_file(dir / "packed_experts" / layer_file_name(layer), bytes);
}

inline void write_lz4_layer(const ScratchDir& dir, size_t layer) {
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t e = 0; e < kSmallExperts; ++e) blocks.push_back(compress_block(expert_record(layer, e)));
  write_file(dir / "packed_experts_lz4" / layer_file_name(layer), lz4_file(kSmallExperts, blocks));
}

inline std::string small_config(size_t layers, bool with_num_experts = true) {
  return fmt::format(R"({{"text_config": {{"hidden_size": 64, "moe_intermediate_size": 64, "num_hidden_layers": {}{}}}}})",
                     layers, with_num_experts ? fmt::format(", \"num_experts\": {}", kSmallExperts) : "");
}

// config.json, the weight pair and raw files for every layer.
inline void write_small_model(const ScratchDir& dir, size_t layers) {
  write_file(dir / "config.json", small_config(layers));
  write_file(dir / "model_weights.bin", "");
  write_file(dir / "model_weights.json", R"({"tensors": {}})");
  for (size_t layer = 0; layer < layers; ++layer) write_raw_layer(dir, layer);
}

}  // namespace varkel::testing_support
