#include "forward/weight_parts.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace varkel::test {

WeightFile write_weight_parts(const std::filesystem::path& dir, const std::vector<WeightPart>& parts) {
  std::vector<uint8_t> bin;
  nlohmann::json tensors = nlohmann::json::object();
  for (const WeightPart& p : parts) {
    tensors[p.name] = {{"dtype", p.dtype}, {"offset", bin.size()}, {"shape", p.shape}, {"size", p.bytes.size()}};
    bin.insert(bin.end(), p.bytes.begin(), p.bytes.end());
  }
  std::ofstream(dir / "model_weights.bin", std::ios::binary)
      .write(reinterpret_cast<const char*>(bin.data()), static_cast<std::streamsize>(bin.size()));
  std::ofstream(dir / "model_weights.json") << nlohmann::json{{"tensors", tensors}}.dump();
  auto file = WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json");
  if (!file) throw std::runtime_error(file.error().to_string());
  return std::move(*file);
}

void put_u16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void put_u32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>((value >> shift) & 0xFF));
}

uint16_t bf16_bits(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return static_cast<uint16_t>(bits >> 16);
}

WeightPart bf16_part(std::string name, const std::vector<float>& values) {
  WeightPart part{std::move(name), "bf16", {values.size()}, {}};
  for (float v : values) put_u16(part.bytes, bf16_bits(v));
  return part;
}

}  // namespace varkel::test
