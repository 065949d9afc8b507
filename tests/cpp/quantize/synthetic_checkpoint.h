#pragma once
// Small Qwen3.5-MoE checkpoints for the quantizer tests: bf16 safetensors
// shards under the real checkpoint names, an index and a config.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace varkel::quantize_test {

struct SourceTensor {
  std::string name;
  std::vector<std::size_t> shape;
  std::vector<float> values;  // exactly representable in the stored dtype
  std::string dtype = "BF16";  // or "F32"
};

struct CheckpointShape {
  std::size_t hidden = 64, intermediate = 64, shared_intermediate = 64, experts = 4;
  std::size_t layers = 4;  // main layers; every fourth is full attention
  std::size_t vocab = 40, heads = 2, kv_heads = 1, head_dim = 16;
  std::size_t linear_value_heads = 2, linear_key_heads = 1, linear_head_dim = 16, conv_kernel = 4;
};

// A tensor before its values are made: uniform in [low, high) from `seed`.
struct TensorSpec {
  std::string name;
  std::vector<std::size_t> shape;
  float low = -1.0f, high = 1.0f;
  std::string dtype = "BF16";
  uint32_t seed = 0;
};

// Every tensor of such a checkpoint (one MTP layer and one vision tensor
// included), seeds counting up from `seed`.
std::vector<TensorSpec> checkpoint_specs(const CheckpointShape& shape, uint32_t seed);
std::vector<SourceTensor> make_tensors(const CheckpointShape& shape, uint32_t seed);
nlohmann::json make_config(const CheckpointShape& shape);

// Layer 0 and the gate-up experts of layer 1 in the first shard, the rest in the second.
inline constexpr const char* kShard1 = "model-00001-of-00002.safetensors";
inline constexpr const char* kShard2 = "model-00002-of-00002.safetensors";
std::string two_shard_plan(const std::string& tensor_name);

void write_safetensors(const std::filesystem::path& path, const std::vector<const SourceTensor*>& tensors);

// config.json, the shards chosen by `shard_of` and the index; each tensor's
// values are made only while it is written.
void write_checkpoint(const std::filesystem::path& dir, const nlohmann::json& config,
                      const std::vector<TensorSpec>& specs,
                      const std::function<std::string(const std::string&)>& shard_of = two_shard_plan);

// Values that survive bf16 storage unchanged, uniform in [low, high).
std::vector<float> bf16_values(std::size_t count, float low, float high, uint32_t seed);

}  // namespace varkel::quantize_test
