#pragma once
// Small converted model directories: config, weight pair, raw or LZ4 expert files.

#include <lz4.h>

#include <fmt/format.h>

#include "common/test_files.h"

namespace varkel::testing_support {

inline constexpr uint64_t kSmallExpertSize = 6912;  // hidden 64, intermediate 64
inline constexpr uint32_t kSmallExperts = 8;

// Distinct per expert, partly repetitive so LZ4 finds matches.
inline std::vector<uint8_t> expert_record(size_t layer, size_t expert, uint64_t size = kSmallExpertSize) {
  std::vector<uint8_t> record(size);
  uint32_t state = static_cast<uint32_t>(layer * 1000 + expert + 1) * 2654435761u;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    record[i] = i % 64 < 32 ? static_cast<uint8_t>(state >> 24) : static_cast<uint8_t>(expert * 16 + layer);
  }
  return record;
}

inline std::vector<uint8_t> compress_block(const std::vector<uint8_t>& record) {
  std::vector<uint8_t> block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(record.size()))));
  block.resize(static_cast<size_t>(LZ4_compress_default(reinterpret_cast<const char*>(record.data()),
                                                        reinterpret_cast<char*>(block.data()),
                                                        static_cast<int>(record.size()), static_cast<int>(block.size()))));
  return block;
}

// count, N + 1 offsets, then the blocks.
inline std::string lz4_file(const std::vector<std::vector<uint8_t>>& blocks) {
  std::string out;
  append_u32(out, static_cast<uint32_t>(blocks.size()));
  append_u32(out, 0);
  uint32_t offset = 0;
  for (const auto& block : blocks) append_u32(out, offset += static_cast<uint32_t>(block.size()));
  for (const auto& block : blocks) out.append(block.begin(), block.end());
  return out;
}

inline std::vector<std::vector<uint8_t>> lz4_blocks(size_t layer) {
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t e = 0; e < kSmallExperts; ++e) blocks.push_back(compress_block(expert_record(layer, e)));
  return blocks;
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
  write_file(dir / "packed_experts_lz4" / layer_file_name(layer), lz4_file(lz4_blocks(layer)));
}

inline void write_small_model(const ScratchDir& dir, size_t layers) {
  write_file(dir / "config.json",
             fmt::format(R"({{"text_config": {{"hidden_size": 64, "moe_intermediate_size": 64, )"
                         R"("num_hidden_layers": {}, "num_experts": {}}}}})", layers, kSmallExperts));
  write_file(dir / "model_weights.bin", "");
  write_file(dir / "model_weights.json", R"({"tensors": {}})");
  for (size_t layer = 0; layer < layers; ++layer) write_raw_layer(dir, layer);
}

}  // namespace varkel::testing_support
