#include "cache/cache.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <unistd.h>

#include <fmt/format.h>

#include "cache/cache_reader.h"
#include "cache/cache_writer.h"
#include "cache/replacement_file.h"
#include "model/config/json_text.h"
#include "model/config/required_key.h"
#include "model/io/mapped_file.h"
#include "model/io/regular_file.h"
#include "model/io/text_file.h"
#include "model/io/unique_fd.h"

namespace varkel {

static_assert(std::endian::native == std::endian::little, "cache files are little-endian and copied as is");

namespace {

bool is_full_attention(size_t layer) { return (layer + 1) % CACHE_FULL_ATTENTION_INTERVAL == 0; }

// UINT64_MAX when the product does not fit: every caller compares it with a small bound.
uint64_t saturating_product(std::initializer_list<uint64_t> factors) {
  uint64_t product = 1;
  for (uint64_t f : factors) {
    if (__builtin_mul_overflow(product, f, &product)) return UINT64_MAX;
  }
  return product;
}

uint64_t saturating_sum(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

// The machine's memory in bytes, or UINT64_MAX when the system does not say.
uint64_t physical_memory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return UINT64_MAX;
  return saturating_product({static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size)});
}

std::string layer_name(size_t layer, const char* part) { return fmt::format("cache.layer_{}.{}", layer, part); }

// One layer as the manifest places it: k_cache and v_cache with `len` for a full layer,
// conv_state and ssm_state for a linear one.
struct LayerPlan {
  TensorSpan first;
  TensorSpan second;
  std::optional<uint32_t> len;  // set for a full layer
};

std::string length_mismatch(const TensorSpan& a, const TensorSpan& b) {
  return fmt::format("{} holds {} floats but {} holds {}", a.name, a.floats, b.name, b.floats);
}

// What the file itself fixes: save writes all MAX_SEQ rows of a key or value cache and
// three rows of convolution history, and every layer of a kind has the same sizes. A
// truncated state would otherwise load, and the engine would fill the rest from
// whatever it held before.
CacheResult<void> check_state_lengths(const std::vector<LayerPlan>& plan) {
  const LayerPlan* first_full = nullptr;
  const LayerPlan* first_linear = nullptr;
  for (const LayerPlan& layer : plan) {
    if (layer.len) {
      if (layer.first.floats % CACHE_MAX_SEQ != 0) {
        return std::unexpected(fmt::format("{} holds {} floats, not whole rows of {} positions", layer.first.name,
                                           layer.first.floats, CACHE_MAX_SEQ));
      }
      if (layer.second.floats != layer.first.floats) return std::unexpected(length_mismatch(layer.second, layer.first));
      if (first_full == nullptr) {
        first_full = &layer;
      } else if (layer.first.floats != first_full->first.floats) {
        return std::unexpected(length_mismatch(layer.first, first_full->first));
      }
    } else {
      if (layer.first.floats % CACHE_CONV_HISTORY != 0) {
        return std::unexpected(fmt::format("{} holds {} floats, not {} whole rows", layer.first.name,
                                           layer.first.floats, CACHE_CONV_HISTORY));
      }
      if (first_linear == nullptr) {
        first_linear = &layer;
      } else if (layer.first.floats != first_linear->first.floats) {
        return std::unexpected(length_mismatch(layer.first, first_linear->first));
      } else if (layer.second.floats != first_linear->second.floats) {
        return std::unexpected(length_mismatch(layer.second, first_linear->second));
      }
    }
  }
  return {};
}

// Save writes the tensors back to back, so together they fit in the data file; entries
// that share bytes could otherwise make a small file allocate without bound.
CacheResult<void> check_total_size(const std::vector<LayerPlan>& plan, uint64_t data_size) {
  uint64_t total = 4;  // cache.pos
  for (size_t i = 0; i < plan.size(); ++i) {
    const LayerPlan& layer = plan[i];
    // One term at a time: the total stays at most the file's length and each term lies
    // inside the file, so no sum wraps.
    for (uint64_t bytes : {4 * layer.first.floats, 4 * layer.second.floats, uint64_t{layer.len ? 4u : 0u}}) {
      total += bytes;
      if (total > data_size) {
        return std::unexpected(fmt::format("the tensors of layers 0 to {} need more than the data file's {} bytes: "
                                           "entries overlap",
                                           i, data_size));
      }
    }
  }
  return {};
}

}  // namespace

Result<Cache> Cache::create(const ModelConfig& config) {
  static constexpr const char* kKeys[] = {"num_hidden_layers",    "num_key_value_heads", "head_dim",
                                          "linear_num_value_heads", "linear_num_key_heads", "linear_key_head_dim",
                                          "linear_value_head_dim"};
  uint64_t v[7];
  for (size_t k = 0; k < 7; ++k) {
    auto value = require_usize(config, kKeys[k]);
    if (!value) return fail(std::move(value.error()));
    v[k] = *value;
  }
  const uint64_t layers = v[0], kv_heads = v[1], head_dim = v[2], lin_v_heads = v[3], lin_k_heads = v[4],
                 lin_k_dim = v[5], lin_v_dim = v[6];
  if (layers == 0) return Cache();
  if (lin_k_heads == 0) return fail(MoEError::config("config key 'linear_num_key_heads' must not be 0"));
  if (lin_v_heads == 0) return fail(MoEError::config("config key 'linear_num_value_heads' must not be 0"));

  // The sizes come from a file: a configuration that asks for more state than an engine
  // holds cannot run, and is refused before anything is allocated.
  const uint64_t kv_dim = saturating_product({kv_heads, head_dim});
  if (kv_dim > CACHE_MAX_KV_DIM) {
    return fail(MoEError::config(fmt::format(
        "num_key_value_heads × head_dim ({} × {}) exceeds the {} floats of a key/value row an engine holds", kv_heads,
        head_dim, CACHE_MAX_KV_DIM)));
  }
  const uint64_t conv_dim =
      saturating_sum(saturating_product({2, lin_k_dim, lin_k_heads}), saturating_product({lin_v_dim, lin_v_heads}));
  if (conv_dim > CACHE_MAX_CONV_DIM) {
    return fail(MoEError::config(fmt::format(
        "2 × linear_key_head_dim × linear_num_key_heads + linear_value_head_dim × linear_num_value_heads "
        "(2 × {} × {} + {} × {}) exceeds the {} convolution channels an engine holds",
        lin_k_dim, lin_k_heads, lin_v_dim, lin_v_heads, CACHE_MAX_CONV_DIM)));
  }
  const uint64_t ssm_size = saturating_product({lin_k_dim, lin_v_heads, lin_v_dim});
  if (ssm_size > CACHE_MAX_SSM_FLOATS) {
    return fail(MoEError::config(fmt::format(
        "linear_key_head_dim × linear_num_value_heads × linear_value_head_dim ({} × {} × {}) exceeds the {} floats "
        "of recurrent state an engine holds",
        lin_k_dim, lin_v_heads, lin_v_dim, CACHE_MAX_SSM_FLOATS)));
  }
  const size_t kv_size = static_cast<size_t>(CACHE_MAX_SEQ * kv_dim);
  const size_t conv_size = static_cast<size_t>(CACHE_CONV_HISTORY * conv_dim);
  const uint64_t full_layers = layers / CACHE_FULL_ATTENTION_INTERVAL;
  const uint64_t bytes = saturating_sum(
      saturating_product({full_layers, sizeof(State) + 2 * kv_size * sizeof(float)}),
      saturating_product({layers - full_layers, sizeof(State) + (conv_size + ssm_size) * sizeof(float)}));
  if (const uint64_t memory = physical_memory(); bytes > memory) {
    return fail(MoEError::config(fmt::format("cache for {} layers needs {} bytes, more than the {} bytes of memory",
                                             layers, bytes, memory)));
  }

  try {
    std::vector<State> states;
    states.reserve(static_cast<size_t>(layers));
    for (uint64_t layer = 0; layer < layers; ++layer) {
      if (is_full_attention(layer)) {
        states.emplace_back(FullState{std::vector<float>(kv_size), std::vector<float>(kv_size), 0});
      } else {
        states.emplace_back(LinearState{std::vector<float>(conv_size), std::vector<float>(ssm_size), nullptr});
      }
    }
    return Cache(std::move(states), 0);
  } catch (const std::bad_alloc&) {
    return fail(MoEError::config(fmt::format("cache for {} layers does not fit in memory", layers)));
  } catch (const std::length_error&) {
    return fail(MoEError::config(fmt::format("cache for {} layers does not fit in memory", layers)));
  }
}

void Cache::reset() {
  pos = 0;
  for (State& state : layers) {
    if (auto* full = std::get_if<FullState>(&state)) {
      full->len = 0;
    } else {
      auto& linear = std::get<LinearState>(state);
      std::fill(linear.conv_state.begin(), linear.conv_state.end(), 0.0f);
      std::fill(linear.ssm_state.begin(), linear.ssm_state.end(), 0.0f);
    }
  }
}

namespace {

template <class S, class C>
Result<S*> typed_layer(C& layers, size_t index, const char* wrong_kind) {
  if (index >= layers.size()) {
    return fail(MoEError::config(fmt::format("layer index {} out of range ({} layers)", index, layers.size())));
  }
  auto* state = std::get_if<std::remove_const_t<S>>(&layers[index]);
  if (state == nullptr) return fail(MoEError::config(wrong_kind));
  return state;
}

}  // namespace

Result<FullState*> Cache::full_layer(size_t index) {
  return typed_layer<FullState>(layers, index, "expected Full state");
}
Result<const FullState*> Cache::full_layer(size_t index) const {
  return typed_layer<const FullState>(layers, index, "expected Full state");
}
Result<LinearState*> Cache::linear_layer(size_t index) {
  return typed_layer<LinearState>(layers, index, "expected Linear state");
}
Result<const LinearState*> Cache::linear_layer(size_t index) const {
  return typed_layer<const LinearState>(layers, index, "expected Linear state");
}

CacheResult<void> Cache::save(const std::filesystem::path& bin_path, const std::filesystem::path& json_path) const {
  // Both files go to temporaries first: a failed save leaves the previous pair as it was.
  auto data = ReplacementFile::create(bin_path);
  if (!data) return std::unexpected(data.error().to_string());
  auto manifest = ReplacementFile::create(json_path);
  if (!manifest) return std::unexpected(manifest.error().to_string());
  // Renamed one over the other, the two would leave only the manifest. Compared by the
  // directories the temporaries are in, which the renames use too.
  if (data->same_target(*manifest)) {
    return std::unexpected(fmt::format("cache data file and manifest are one file: {}", bin_path.string()));
  }
  CacheWriter writer(data->fd());

  for (size_t i = 0; i < layers.size(); ++i) {
    std::expected<void, IoError> written;
    if (const auto* linear = std::get_if<LinearState>(&layers[i])) {
      const size_t conv = linear->conv_state.size();
      written = writer.write_f32_tensor(layer_name(i, "conv_state"), linear->conv_state,
                                        {CACHE_CONV_HISTORY, conv / CACHE_CONV_HISTORY});
      if (written) {
        written = writer.write_f32_tensor(layer_name(i, "ssm_state"), linear->ssm_state, {linear->ssm_state.size()});
      }
    } else {
      const auto& full = std::get<FullState>(layers[i]);
      written = writer.write_f32_tensor(layer_name(i, "k_cache"), full.k_cache,
                                        {CACHE_MAX_SEQ, full.k_cache.size() / CACHE_MAX_SEQ});
      if (written) {
        written = writer.write_f32_tensor(layer_name(i, "v_cache"), full.v_cache,
                                          {CACHE_MAX_SEQ, full.v_cache.size() / CACHE_MAX_SEQ});
      }
      if (written) written = writer.write_u32_scalar(layer_name(i, "len"), static_cast<uint32_t>(full.len));
    }
    if (!written) return std::unexpected(written.error().to_string());
  }
  if (auto written = writer.write_u32_scalar("cache.pos", static_cast<uint32_t>(pos)); !written) {
    return std::unexpected(written.error().to_string());
  }
  if (auto flushed = writer.flush(); !flushed) return std::unexpected(flushed.error().to_string());
  if (auto synced = data->sync(); !synced) return std::unexpected(synced.error().to_string());

  const std::string manifest_text = writer.manifest_text();
  if (auto written = write_all(manifest->fd(), manifest_text.data(), manifest_text.size()); !written) {
    return std::unexpected(written.error().to_string());
  }
  if (auto synced = manifest->sync(); !synced) return std::unexpected(synced.error().to_string());

  // The data file first: its manifest never describes bytes that are not there yet.
  if (auto moved = data->commit(); !moved) return std::unexpected(moved.error().to_string());
  if (auto moved = manifest->commit(); !moved) return std::unexpected(moved.error().to_string());
  return {};
}

CacheResult<Cache> Cache::load(const std::filesystem::path& bin_path, const std::filesystem::path& json_path) {
  auto text = read_text_file(json_path);
  if (!text) return std::unexpected(text.error().to_string());
  auto manifest = parse_json(*text);
  if (!manifest) return std::unexpected(std::move(manifest.error()));
  const nlohmann::json* tensors = nullptr;
  if (manifest->is_object()) {
    if (auto it = manifest->find("tensors"); it != manifest->end() && it->is_object()) tensors = &*it;
  }
  if (tensors == nullptr) return std::unexpected(std::string("No 'tensors' key in manifest"));

  MappedFile data;
  {
    auto file = open_regular_file(bin_path);
    if (!file) return std::unexpected(file.error().to_string());
    auto mapped = MappedFile::map(file->get());
    if (!mapped) return std::unexpected(mapped.error().to_string());
    data = std::move(*mapped);
  }  // the descriptor closes here; the mapping stays until the end of the load

  const CacheReader reader(*tensors, data);
  auto pos = reader.read_u32("cache.pos");
  if (!pos) return std::unexpected(std::move(pos.error()));
  if (*pos > CACHE_MAX_SEQ) {
    return std::unexpected(fmt::format("cache.pos {} exceeds MAX_SEQ ({})", *pos, CACHE_MAX_SEQ));
  }

  size_t count = 0;
  while (reader.has(layer_name(count, "k_cache")) || reader.has(layer_name(count, "conv_state"))) ++count;

  // Every size comes from the manifest: all of them are located and checked before a
  // float is allocated.
  std::vector<LayerPlan> plan;
  plan.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const bool full = reader.has(layer_name(i, "k_cache"));
    auto first = reader.locate_f32(layer_name(i, full ? "k_cache" : "conv_state"));
    if (!first) return std::unexpected(std::move(first.error()));
    auto second = reader.locate_f32(layer_name(i, full ? "v_cache" : "ssm_state"));
    if (!second) return std::unexpected(std::move(second.error()));
    std::optional<uint32_t> len;
    if (full) {
      auto read = reader.read_u32(layer_name(i, "len"));
      if (!read) return std::unexpected(std::move(read.error()));
      if (*read > CACHE_MAX_SEQ) {
        return std::unexpected(fmt::format("{} {} exceeds MAX_SEQ ({})", layer_name(i, "len"), *read, CACHE_MAX_SEQ));
      }
      len = *read;
    }
    plan.push_back({std::move(*first), std::move(*second), len});
  }
  if (auto lengths = check_state_lengths(plan); !lengths) return std::unexpected(std::move(lengths.error()));
  if (auto total = check_total_size(plan, reader.data_size()); !total) return std::unexpected(std::move(total.error()));

  std::vector<State> layers;
  layers.reserve(count);
  for (const LayerPlan& layer : plan) {
    if (layer.len) {
      layers.emplace_back(FullState{reader.copy(layer.first), reader.copy(layer.second), *layer.len});
    } else {
      layers.emplace_back(LinearState{reader.copy(layer.first), reader.copy(layer.second), nullptr});
    }
  }
  return Cache(std::move(layers), *pos);
}

}  // namespace varkel
