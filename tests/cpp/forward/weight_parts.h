#pragma once
// Weight files laid out by hand for tests: parts back to back, the manifest
// beside them, so that any tensor can be left out or malformed.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "model/weights/weight_file.h"

namespace varkel::test {

struct WeightPart {
  std::string name;
  std::string dtype;
  std::vector<uint64_t> shape;
  std::vector<uint8_t> bytes;
};

// Writes "model_weights.bin" and "model_weights.json" into `dir` and opens them.
WeightFile write_weight_parts(const std::filesystem::path& dir, const std::vector<WeightPart>& parts);

void put_u16(std::vector<uint8_t>& out, uint16_t value);
void put_u32(std::vector<uint8_t>& out, uint32_t value);
// The upper half of the f32 pattern (exact for values with 8 significant bits).
uint16_t bf16_bits(float value);
// A bf16 vector part of the given values.
WeightPart bf16_part(std::string name, const std::vector<float>& values);

}  // namespace varkel::test
