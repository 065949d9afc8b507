// Copies between a host cache and the context's state buffers. Both
// directions check the whole cache first, so a refusal changes nothing.
#include <fmt/format.h>

#include <cstring>

#include "cache/cache.h"
#include "engine/qwen35_moe/metal_context.h"

namespace varkel::qwen35 {

namespace {

constexpr std::size_t kKvRowFloats = qwen35::kKvDim;

// Caches are built to the cache module's bounds; this engine's state must lie within them.
static_assert(qwen35::kKvDim <= CACHE_MAX_KV_DIM && qwen35::kConvDim <= CACHE_MAX_CONV_DIM &&
              qwen35::kSsmStateFloats <= CACHE_MAX_SSM_FLOATS && qwen35::kMaxSeq == CACHE_MAX_SEQ &&
              qwen35::kConvHistory == CACHE_CONV_HISTORY);

// The state buffers of decoder layer `layer` (0-based), by the layer pattern.
struct LayerSlot {
  bool full;
  std::size_t index;  // among the full or the linear layers
};

LayerSlot slot_of(std::size_t layer) {
  if (qwen35::is_full_attention_layer(layer)) return {true, qwen35::full_attention_index(layer)};
  return {false, qwen35::linear_attention_index(layer)};
}

// The exact lengths Cache::create gives this engine's configuration. A shorter vector
// would leave the rest of the GPU state as the previous sequence left it.
Status check_length(std::size_t layer, const char* field, std::size_t floats, std::size_t needed) {
  if (floats != needed) {
    return fail(MoEError::config(
        fmt::format("layer {}: {} holds {} floats, the model needs {}", layer, field, floats, needed)));
  }
  return {};
}

Status check_linear_lengths(std::size_t layer, const LinearState& state) {
  if (auto status = check_length(layer, "conv_state", state.conv_state.size(), qwen35::kConvStateFloats); !status) {
    return status;
  }
  return check_length(layer, "ssm_state", state.ssm_state.size(), qwen35::kSsmStateFloats);
}

Status check_full_lengths(std::size_t layer, const FullState& state) {
  constexpr std::size_t kCacheFloats = qwen35::kMaxSeq * kKvRowFloats;
  if (auto status = check_length(layer, "k_cache", state.k_cache.size(), kCacheFloats); !status) return status;
  return check_length(layer, "v_cache", state.v_cache.size(), kCacheFloats);
}

// The cache must have exactly the engine's layers, each of the kind the layer
// pattern gives and with the vector lengths of this model; `check_full` then looks
// at a full layer's filled length.
template <class CheckFull>
Status check_layers(const MetalContext& ctx, const Cache& cache, CheckFull check_full) {
  const std::size_t num_layers = ctx.num_layers;
  if (cache.layers.size() < num_layers) {
    // Refused as the typed access of the first missing layer refuses it.
    auto missing = cache.linear_layer(cache.layers.size());
    return fail(std::move(missing.error()));
  }
  // A cache of another model, whose extra layers would silently stay behind.
  if (cache.layers.size() > num_layers) {
    return fail(MoEError::config(
        fmt::format("the cache has {} layers, the model {}", cache.layers.size(), num_layers)));
  }
  for (std::size_t layer = 0; layer < num_layers; ++layer) {
    const LayerSlot slot = slot_of(layer);
    const std::size_t buffers = slot.full ? ctx.k_cache_buffers.size() : ctx.ssm_state_buffers.size();
    if (slot.index >= buffers) {
      return fail(MoEError::metal(fmt::format("layer {} has no state buffer (index {} of {})", layer, slot.index, buffers)));
    }
    if (slot.full) {
      auto state = cache.full_layer(layer);
      if (!state) return fail(std::move(state.error()));
      if (auto status = check_full_lengths(layer, **state); !status) return status;
      if (auto status = check_full(layer, **state); !status) return status;
    } else {
      auto state = cache.linear_layer(layer);
      if (!state) return fail(std::move(state.error()));
      if (auto status = check_linear_lengths(layer, **state); !status) return status;
    }
  }
  return {};
}

void copy_floats_in(const metal::BufferPtr& buffer, const std::vector<float>& source, std::size_t count) {
  if (count != 0) std::memcpy(buffer->contents(), source.data(), count * sizeof(float));
}

void copy_floats_out(const metal::BufferPtr& buffer, std::vector<float>& target, std::size_t count) {
  if (count != 0) std::memcpy(target.data(), buffer->contents(), count * sizeof(float));
}

}  // namespace

Status MetalContext::upload_cache(const Cache& cache) {
  if (num_layers == 0) return fail(MoEError::metal("upload_cache called before init_linear_attn_buffers"));
  if (cache.pos > qwen35::kMaxSeq) {
    return fail(MoEError::config(
        fmt::format("cache position {} exceeds MAX_SEQ ({})", cache.pos, qwen35::kMaxSeq)));
  }
  auto check_full = [](std::size_t layer, const FullState& state) -> Status {
    if (state.len > qwen35::kMaxSeq) {
      return fail(MoEError::config(
          fmt::format("layer {}: filled length {} exceeds MAX_SEQ ({})", layer, state.len, qwen35::kMaxSeq)));
    }
    return Status{};
  };
  if (auto status = check_layers(*this, cache, check_full); !status) return status;

  pos = cache.pos;
  // Linear states are copied at every position, 0 included: a fresh or reset
  // cache then restarts the recurrence from its zeros instead of continuing
  // whatever the previous sequence left on the GPU.
  for (std::size_t layer = 0; layer < num_layers; ++layer) {
    const LayerSlot slot = slot_of(layer);
    if (slot.full) {
      const FullState& state = **cache.full_layer(layer);
      copy_floats_in(k_cache_buffers[slot.index], state.k_cache, state.len * kKvRowFloats);
      copy_floats_in(v_cache_buffers[slot.index], state.v_cache, state.len * kKvRowFloats);
    } else {
      const LinearState& state = **cache.linear_layer(layer);
      copy_floats_in(ssm_state_buffers[slot.index], state.ssm_state, state.ssm_state.size());
      copy_floats_in(conv_state_buffers[slot.index], state.conv_state, state.conv_state.size());
    }
  }
  return {};
}

Status MetalContext::download_cache(Cache& cache) const {
  if (num_layers == 0) return fail(MoEError::metal("download_cache called before init_linear_attn_buffers"));
  const std::size_t rows = pos;
  if (rows > qwen35::kMaxSeq) {
    return fail(MoEError::metal(fmt::format("engine position {} exceeds MAX_SEQ ({})", rows, qwen35::kMaxSeq)));
  }
  if (auto status = check_layers(*this, cache, [](std::size_t, const FullState&) { return Status{}; }); !status) {
    return status;
  }

  cache.pos = pos;
  for (State& state : cache.layers) {
    if (auto* full = std::get_if<FullState>(&state)) full->len = pos;
  }
  for (std::size_t layer = 0; layer < num_layers; ++layer) {
    const LayerSlot slot = slot_of(layer);
    if (slot.full) {
      FullState& state = **cache.full_layer(layer);
      copy_floats_out(k_cache_buffers[slot.index], state.k_cache, rows * kKvRowFloats);
      copy_floats_out(v_cache_buffers[slot.index], state.v_cache, rows * kKvRowFloats);
    } else {
      LinearState& state = **cache.linear_layer(layer);
      copy_floats_out(ssm_state_buffers[slot.index], state.ssm_state, state.ssm_state.size());
      copy_floats_out(conv_state_buffers[slot.index], state.conv_state, state.conv_state.size());
    }
  }
  return {};
}

}  // namespace varkel::qwen35
