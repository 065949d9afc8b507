#pragma once
// Writes small Qwen3.5-MoE checkpoints for the quantizer tests: bf16
// safetensors shards under the real checkpoint names, an index and a config.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace varkel::quantize_test {

struct SourceTensor {
  std::string name;
  std::vector<std::size_t> shape;
  std::vector<float> values;  // exactly representable in the stored dtype
  std::string dtype = "BF16";  // "BF16" or "F32"
};

struct CheckpointShape {
  std::size_t hidden = 64;
  std::size_t intermediate = 64;  // per expert
  std::size_t shared_intermediate = 64;
  std::size_t experts = 4;
  std::size_t layers = 4;  // main layers; every fourth is full attention
  std::size_t vocab = 40;
  std::size_t heads = 2;
  std::size_t kv_heads = 1;
  std::size_t head_dim = 16;
  std::size_t linear_value_heads = 2;
  std::size_t linear_key_heads = 1;
  std::size_t linear_head_dim = 16;  // key and value
  std::size_t conv_kernel = 4;
  bool mtp = true;     // one MTP layer, experts included
  bool vision = true;  // one vision tensor
};

// A tensor before its values are made: uniform in [low, high) from `seed`.
struct TensorSpec {
  std::string name;
  std::vector<std::size_t> shape;
  float low = -1.0f, high = 1.0f;
  std::string dtype = "BF16";
  uint32_t seed = 0;
};

// Every tensor of such a checkpoint, values from seeds counting up from `seed`.
std::vector<TensorSpec> checkpoint_specs(const CheckpointShape& shape, uint32_t seed);
SourceTensor materialize(const TensorSpec& spec);
std::vector<SourceTensor> make_tensors(const CheckpointShape& shape, uint32_t seed);

// The config.json of such a checkpoint (no "architectures": it defaults to the
// supported one).
nlohmann::json make_config(const CheckpointShape& shape);

// Two shards: layer 0 and the gate-up experts of layer 1 in the first, the
// rest (so layer 1's down experts) in the second.
std::string two_shard_plan(const std::string& tensor_name);

inline constexpr const char* kShard1 = "model-00001-of-00002.safetensors";
inline constexpr const char* kShard2 = "model-00002-of-00002.safetensors";

// One safetensors file with the tensors in the given order.
void write_safetensors(const std::filesystem::path& path, const std::vector<const SourceTensor*>& tensors);

// config.json, the shards chosen by `shard_of` and model.safetensors.index.json.
void write_checkpoint(const std::filesystem::path& dir, const nlohmann::json& config,
                      const std::vector<SourceTensor>& tensors,
                      const std::function<std::string(const std::string&)>& shard_of = two_shard_plan);

// The same, making each tensor's values only while it is written (for
// checkpoints larger than memory would like).
void write_checkpoint(const std::filesystem::path& dir, const nlohmann::json& config,
                      const std::vector<TensorSpec>& specs,
                      const std::function<std::string(const std::string&)>& shard_of = two_shard_plan);

// Values that survive bf16 storage unchanged, uniform in [low, high).
std::vector<float> bf16_values(std::size_t count, float low, float high, uint32_t seed);

}  // namespace varkel::quantize_test
