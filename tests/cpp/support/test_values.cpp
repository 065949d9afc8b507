#include "support/test_values.h"

#include <cmath>

namespace varkel::test_support {

namespace {

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// 64-bit FNV-1a of a name, mixed with the seed.
uint64_t name_key(uint64_t seed, std::string_view name) {
  uint64_t hash = 0xCBF29CE484222325ull ^ (seed * 0x100000001B3ull);
  for (unsigned char c : name) hash = (hash ^ c) * 0x100000001B3ull;
  return hash;
}

// Uniform floats in [-1, 1) for row `row` of a tensor keyed `key`.
void uniform_row(uint64_t key, std::size_t row, std::span<float> out) {
  uint64_t state = key ^ (static_cast<uint64_t>(row) * 0xD1B54A32D192ED03ull);
  for (float& value : out) {
    // 24 random bits give an exact float in [0, 1).
    const float unit = static_cast<float>(splitmix64(state) >> 40) * (1.0f / 16777216.0f);
    value = unit * 2.0f - 1.0f;
  }
}

}  // namespace

void tensor_values(uint64_t seed, std::string_view name, std::size_t row_begin, std::size_t rows, std::size_t cols,
                   std::span<float> out) {
  const uint64_t key = name_key(seed, name);
  const bool norm = name.ends_with("layernorm.weight") || name.ends_with("q_norm.weight") ||
                    name.ends_with("k_norm.weight") || name.ends_with("model.norm.weight") ||
                    name.ends_with("linear_attn.norm.weight");
  const bool a_log = name.ends_with(".A_log");
  const bool small = name.ends_with(".dt_bias") || name.contains("conv1d");
  const bool embedding = name.contains("embed_tokens");
  // Uniform on [-a, a) has variance a^2 / 3: a = sqrt(3 / cols) keeps a
  // mat-vec's output on the scale of its input.
  const float matrix_scale = cols != 0 ? std::sqrt(3.0f / static_cast<float>(cols)) : 1.0f;
  for (std::size_t r = 0; r < rows; ++r) {
    std::span<float> row = out.subspan(r * cols, cols);
    uniform_row(key, row_begin + r, row);
    for (float& v : row) {
      if (norm) {
        v = 1.0f + 0.1f * v;
      } else if (a_log) {
        v = std::log(1.0f + 7.5f * (v + 1.0f));
      } else if (small) {
        v = 0.5f * v;
      } else if (embedding) {
        // keep as is: rows are normalised before use
      } else {
        v *= matrix_scale;
      }
    }
  }
}

}  // namespace varkel::test_support
