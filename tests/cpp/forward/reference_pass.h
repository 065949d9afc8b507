#pragma once
// A plain double-precision model of one token's pass through a converted
// Qwen3.5-MoE directory, written from the model's formulas. It reads the
// manifest and the data file itself, decodes every storage type itself and
// shares no code with the engine, so that the engine's logits can be checked
// against it.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varkel::test {

class ReferenceWeights {
 public:
  explicit ReferenceWeights(const std::filesystem::path& dir);

  bool has(std::string_view name) const { return entries_.count(std::string(name)) != 0; }
  // A stored vector ("f32" or "bf16") widened to double.
  std::vector<double> vector(std::string_view name) const;
  // W x for the matrix `base` (base + ".weight" and its companions), decoded
  // element by element; nullopt when base + ".weight" is absent.
  std::optional<std::vector<double>> matvec(std::string_view base, std::span<const double> x, std::size_t rows,
                                            std::size_t cols) const;
  // The 2048 values of token `id` from the 4-bit embedding table.
  std::vector<double> embedding(int64_t id) const;
  // y = W x for one projection of a packed expert record (4-bit, groups of 64).
  std::vector<double> expert_matvec(std::size_t layer, std::size_t expert, std::size_t projection,
                                    std::span<const double> x) const;

 private:
  struct Entry {
    std::string dtype;
    uint64_t offset = 0;
    uint64_t size = 0;
  };
  const Entry& entry(std::string_view name) const;
  const uint8_t* data(const Entry& e) const { return bin_.data() + e.offset; }

  std::filesystem::path dir_;
  std::map<std::string, Entry> entries_;
  std::vector<uint8_t> bin_;
  mutable std::map<std::size_t, std::vector<uint8_t>> expert_files_;
};

// The sequence state the reference carries from token to token.
struct ReferenceState {
  ReferenceState(std::size_t linear_layers, std::size_t full_layers);
  std::vector<std::vector<double>> conv;     // per linear layer, 3 x 8192
  std::vector<std::vector<double>> ssm;      // per linear layer, 32 x 128 x 128
  std::vector<std::vector<double>> k_cache;  // per full layer, pos x 512
  std::vector<std::vector<double>> v_cache;
  std::size_t pos = 0;
};

struct ReferenceShape {
  std::size_t layers = 4;
  std::size_t experts = 4;
  std::size_t k = 4;
  std::size_t vocab = 0;
};

// One token from its embedding to its logits; advances `state`.
std::vector<double> reference_token(const ReferenceWeights& weights, ReferenceState& state,
                                    std::span<const double> embedding, const ReferenceShape& shape);

}  // namespace varkel::test
