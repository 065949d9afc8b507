#include "cache/cache.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <stdexcept>
#include <unistd.h>

#include <fmt/format.h>

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

Result<size_t> checked_product(std::initializer_list<uint64_t> factors) {
  uint64_t product = 1;
  for (uint64_t f : factors) {
    if (__builtin_mul_overflow(product, f, &product) || product > SIZE_MAX / sizeof(float)) {
      return fail(MoEError::config("cache dimensions overflow"));
    }
  }
  return static_cast<size_t>(product);
}

// Names and bounds-checked reads over the mapped data file.
class CacheReader {
 public:
  CacheReader(const nlohmann::json& tensors, const MappedFile& data) : tensors_(tensors), data_(data) {}

  bool has(const std::string& name) const { return tensors_.contains(name); }

  CacheResult<std::vector<float>> read_f32(const std::string& name) const {
    auto entry = find(name);
    if (!entry) return std::unexpected(std::move(entry.error()));
    auto offset = member(**entry, "offset");
    if (!offset) return std::unexpected(std::string("missing offset"));
    auto size = member(**entry, "size");
    if (!size) return std::unexpected(std::string("missing size"));
    if (auto range = check_range(name, *offset, *size); !range) return std::unexpected(std::move(range.error()));
    std::vector<float> values(static_cast<size_t>(*size / 4));
    if (!values.empty()) std::memcpy(values.data(), data_.data() + *offset, values.size() * sizeof(float));
    return values;
  }

  CacheResult<uint32_t> read_u32(const std::string& name) const {
    auto entry = find(name);
    if (!entry) return std::unexpected(std::move(entry.error()));
    auto offset = member(**entry, "offset");
    if (!offset) return std::unexpected(std::string("missing offset"));
    if (auto range = check_range(name, *offset, 4); !range) return std::unexpected(std::move(range.error()));
    uint32_t value;
    std::memcpy(&value, data_.data() + *offset, sizeof value);
    return value;
  }

 private:
  CacheResult<const nlohmann::json*> find(const std::string& name) const {
    auto it = tensors_.find(name);
    if (it == tensors_.end()) return std::unexpected(fmt::format("missing tensor: {}", name));
    return &*it;
  }

  static std::optional<uint64_t> member(const nlohmann::json& entry, const char* key) {
    if (!entry.is_object()) return std::nullopt;
    auto it = entry.find(key);
    if (it == entry.end() || !is_unsigned_integer(*it)) return std::nullopt;
    return it->get<uint64_t>();
  }

  CacheResult<void> check_range(const std::string& name, uint64_t offset, uint64_t size) const {
    const uint64_t length = data_.size();
    if (size > length || offset > length - size) {
      return std::unexpected(fmt::format("tensor {} lies outside the data file: offset {} + size {} > length {}", name,
                                         offset, size, length));
    }
    return {};
  }

  const nlohmann::json& tensors_;
  const MappedFile& data_;
};

std::string layer_name(size_t layer, const char* part) { return fmt::format("cache.layer_{}.{}", layer, part); }

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

  auto kv_size = checked_product({CACHE_MAX_SEQ, kv_heads, head_dim});
  auto conv_keys = checked_product({3, lin_k_dim, lin_k_heads, 2});
  auto conv_values = checked_product({3, lin_v_dim, lin_v_heads});
  auto ssm_size = checked_product({lin_k_dim, lin_v_heads, lin_v_dim});
  for (const auto* size : {&kv_size, &conv_keys, &conv_values, &ssm_size}) {
    if (!*size) return fail(size->error());
  }
  if (*conv_keys > SIZE_MAX / sizeof(float) - *conv_values) return fail(MoEError::config("cache dimensions overflow"));
  const size_t conv_size = *conv_keys + *conv_values;

  try {
    std::vector<State> states;
    states.reserve(static_cast<size_t>(std::min<uint64_t>(layers, 1024)));
    for (uint64_t layer = 0; layer < layers; ++layer) {
      if (is_full_attention(layer)) {
        states.emplace_back(FullState{std::vector<float>(*kv_size), std::vector<float>(*kv_size), 0});
      } else {
        states.emplace_back(LinearState{std::vector<float>(conv_size), std::vector<float>(*ssm_size), nullptr});
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
  CacheWriter writer(data->fd());

  for (size_t i = 0; i < layers.size(); ++i) {
    std::expected<void, IoError> written;
    if (const auto* linear = std::get_if<LinearState>(&layers[i])) {
      const size_t conv = linear->conv_state.size();
      written = writer.write_f32_tensor(layer_name(i, "conv_state"), linear->conv_state, {3, conv / 3});
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

  size_t count = 0;
  while (reader.has(layer_name(count, "k_cache")) || reader.has(layer_name(count, "conv_state"))) ++count;

  std::vector<State> layers;
  layers.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (reader.has(layer_name(i, "k_cache"))) {
      auto k = reader.read_f32(layer_name(i, "k_cache"));
      if (!k) return std::unexpected(std::move(k.error()));
      auto v = reader.read_f32(layer_name(i, "v_cache"));
      if (!v) return std::unexpected(std::move(v.error()));
      auto len = reader.read_u32(layer_name(i, "len"));
      if (!len) return std::unexpected(std::move(len.error()));
      layers.emplace_back(FullState{std::move(*k), std::move(*v), *len});
    } else {
      auto conv = reader.read_f32(layer_name(i, "conv_state"));
      if (!conv) return std::unexpected(std::move(conv.error()));
      auto ssm = reader.read_f32(layer_name(i, "ssm_state"));
      if (!ssm) return std::unexpected(std::move(ssm.error()));
      layers.emplace_back(LinearState{std::move(*conv), std::move(*ssm), nullptr});
    }
  }
  return Cache(std::move(layers), *pos);
}

}  // namespace varkel
