#pragma once
// Host-side inference state of one generation: per-layer attention state and the
// sequence position, with its data file + JSON manifest pair.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "error/moe_error.h"
#include "model/config/model_config.h"

namespace varkel {

// Positions a full-attention layer holds.
inline constexpr size_t CACHE_MAX_SEQ = 4096;
// The largest state an engine holds (its compiled constants are checked against these):
// Cache::create refuses a configuration that asks for more.
inline constexpr size_t CACHE_MAX_KV_DIM = 512;            // floats of one key/value row
inline constexpr size_t CACHE_MAX_CONV_DIM = 8192;         // convolution channels
inline constexpr size_t CACHE_MAX_SSM_FLOATS = 524288;     // recurrent state of a linear layer
// Rows of convolution history a linear layer keeps.
inline constexpr size_t CACHE_CONV_HISTORY = 3;
// Counting layers from 0, layer i is full attention when (i + 1) % 4 == 0.
inline constexpr size_t CACHE_FULL_ATTENTION_INTERVAL = 4;

struct FullState {
  std::vector<float> k_cache;  // CACHE_MAX_SEQ × kv_dim, row p = position p
  std::vector<float> v_cache;
  size_t len = 0;  // rows in use
};

struct LinearState {
  std::vector<float> conv_state;  // 3 × conv_dim
  std::vector<float> ssm_state;
  std::shared_ptr<void> gpu_buffer;  // always empty when built here
};

// Index 0 = Full, 1 = Linear.
using State = std::variant<FullState, LinearState>;

// Error of save and load: a message.
template <class T>
using CacheResult = std::expected<T, std::string>;

class Cache {
 public:
  Cache() = default;
  Cache(std::vector<State> layers, size_t pos) : layers(std::move(layers)), pos(pos) {}

  // Zero-filled state for every layer of the configuration; Config error when one of
  // "num_hidden_layers", "num_key_value_heads", "head_dim", "linear_num_value_heads",
  // "linear_num_key_heads", "linear_key_head_dim", "linear_value_head_dim" is missing,
  // a linear head count is 0, a state is larger than an engine holds (CACHE_MAX_*), or
  // the whole is larger than the machine's memory.
  static Result<Cache> create(const ModelConfig& config);

  // pos = 0, every len = 0 (rows kept), linear states zeroed in place.
  void reset();

  // Typed access; Config error for an index beyond the layers ("layer index ...") or the
  // wrong kind ("expected Full state" / "expected Linear state").
  Result<FullState*> full_layer(size_t index);
  Result<const FullState*> full_layer(size_t index) const;
  Result<LinearState*> linear_layer(size_t index);
  Result<const LinearState*> linear_layer(size_t index) const;

  // Writes the data file then the pretty-printed manifest, each under a temporary name
  // beside its target, flushed to disk, then renamed over the target (data first). On
  // failure the temporaries are removed and the previous pair is left as it was.
  CacheResult<void> save(const std::filesystem::path& bin_path, const std::filesystem::path& json_path) const;
  static CacheResult<Cache> load(const std::filesystem::path& bin_path, const std::filesystem::path& json_path);

  std::vector<State> layers;
  size_t pos = 0;  // next sequence position
};

}  // namespace varkel
