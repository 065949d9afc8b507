#pragma once
// A synthetic converted model directory: "config.json", the weight file with
// every tensor the engine reads (storage types as the "bq4" or "int4"
// converter chooses them), and raw "packed_experts/layer_NN.bin" files of
// 4-bit expert records. Values are deterministic and well scaled
// (test_values.h).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>


#include "dtype/dtype.h"

namespace varkel::test_support {

inline constexpr std::size_t kHidden = 2048;
inline constexpr std::size_t kVocab = 248320;
inline constexpr std::size_t kExpertIntermediate = 512;
inline constexpr std::size_t kExpertRecordSize = 1769472;

struct TestModelOptions {
  std::size_t layers = 4;
  std::size_t experts = 4;
  std::size_t experts_per_tok = 4;
  std::string architecture = "Qwen3_5MoeForConditionalGeneration_Stripped";
  // Rows of the embedding table and the lm head. "vocab_size" in config.json
  // stays 248320 so the configuration validates; a smaller table keeps tests
  // fast where no logits are computed.
  std::size_t vocab_rows = kVocab;
  uint64_t seed = 1;
  bool int4_scheme = false;  // every matrix 4-bit (otherwise the "bq4" choices)
  bool write_weights = true;  // false: an empty manifest and data file
  bool write_experts = true;
  // With write_experts: zero-length layer files instead of records (enough
  // for loading a model whose experts are never read).
  bool empty_experts = false;
  // Source tensor names (e.g. "language_model.model.layers.0.linear_attn.in_proj_z.weight")
  // to leave out; nullptr keeps all.
  std::function<bool(const std::string& name)> omit;
  // Called on every generated chunk of a weight-file tensor (source name, first
  // row, rows, cols, values) before it is stored; nullptr keeps the values.
  std::function<void(const std::string& name, std::size_t row_begin, std::size_t rows, std::size_t cols,
                     std::span<float> values)>
      adjust_values;
};

// Options naming the full architecture with its 40 layers and 256 experts (8
// per token); `bare` writes no weights and zero-length expert files, enough
// for engines whose forward pass never runs.
TestModelOptions full_model_options(bool bare);

// One source tensor of the model: engine name, rows x cols (vectors have one
// row) and storage type.
struct TestTensor {
  std::string name;
  std::size_t rows;
  std::size_t cols;
  DType dtype;
};

// Every weight-file tensor, in file order, after omissions.
std::vector<TestTensor> test_model_tensors(const TestModelOptions& options);

// Writes the directory (created if needed). Throws std::runtime_error.
void write_test_model(const std::filesystem::path& dir, const TestModelOptions& options = {});

}  // namespace varkel::test_support
