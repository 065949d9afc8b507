#include "quantize/qwen35_moe/common/expert_packing.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "dtype/quant_int4.h"
#include "parallel/parallel_for.h"
#include "quantize/file_io.h"
#include "quantize/tensor_source.h"
#include "safetensors/safetensors.h"

namespace varkel {

static_assert(std::endian::native == std::endian::little, "expert records are stored little-endian");

namespace {

std::optional<uint64_t> mul(uint64_t a, uint64_t b) {
  uint64_t r = 0;
  if (__builtin_mul_overflow(a, b, &r)) return std::nullopt;
  return r;
}

std::optional<uint64_t> add(uint64_t a, uint64_t b) {
  uint64_t r = 0;
  if (__builtin_add_overflow(a, b, &r)) return std::nullopt;
  return r;
}

struct LayerSources {
  std::string gate;  // checkpoint name of the [N, 2I, H] gate-up tensor
  std::string down;  // checkpoint name of the [N, H, I] down tensor
};

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// Stacked expert tensors stored as integers are packed codes, not weights.
bool is_integer_dtype(std::string_view dtype) {
  static constexpr std::string_view kIntegers[] = {"BOOL", "U8", "I8", "U16", "I16", "U32", "I32", "U64", "I64"};
  for (std::string_view integer : kIntegers) {
    if (dtype == integer) return true;
  }
  return false;
}

QuantResult<std::map<uint64_t, LayerSources>> gather(std::span<const ClassifiedTensor> classified) {
  std::map<uint64_t, LayerSources> layers;
  for (const auto& [name, cls] : classified) {
    if (cls.kind != WeightClass::Kind::Expert) continue;
    const std::string& engine = cls.name;
    if (engine.starts_with("mtp.")) continue;
    if (engine.ends_with(".scales") || engine.ends_with(".biases")) {
      return quant_error(fmt::format("expert tensor {} holds quantization {}: the checkpoint is already quantized, "
                                     "only unquantized checkpoints can be converted",
                                     name, engine.ends_with(".scales") ? "scales" : "biases"));
    }
    LayerSources& sources = layers[cls.layer];
    if (contains(engine, "gate_up_proj") || contains(engine, "gate_proj")) {
      sources.gate = name;
    } else if (contains(engine, "down_proj")) {
      sources.down = name;
    }
  }
  return layers;
}

// Each expert's slices are read and widened on whichever worker packs that
// expert, so a layer's sources are never held whole.
QuantResult<TensorSource> open_source(const std::filesystem::path& path, const SafetensorsHeader& header,
                                      const std::string& name) {
  const auto meta = header.tensors.find(name);
  if (meta != header.tensors.end() && is_integer_dtype(meta->second.dtype)) {
    return quant_error(fmt::format("expert tensor {} is stored as {}: the checkpoint is already quantized, only "
                                   "unquantized checkpoints can be converted",
                                   name, meta->second.dtype));
  }
  return TensorSource::open(path, header, name);
}

std::string range_error(std::optional<uint64_t> end, std::size_t length) {
  if (!end) return fmt::format("range end index overflows for slice of length {}", length);
  return fmt::format("range end index {} out of range for slice of length {}", *end, length);
}

// The first slice, in the order the experts are packed, that would run past a
// source: gate [e*2IH, e*2IH + IH), up [.., (e+1)*2IH), down [e*HI, (e+1)*HI).
QuantResult<void> check_ranges(uint64_t gate_span, uint64_t down_span, uint64_t num_experts, std::size_t gate_len,
                               std::size_t down_len) {
  const auto stacked = mul(gate_span, 2);
  for (uint64_t e = 0; e < num_experts; ++e) {
    const auto start = stacked ? mul(e, *stacked) : std::nullopt;
    const auto gate_end = start ? add(*start, gate_span) : std::nullopt;
    if (!gate_end || *gate_end > gate_len) return quant_error(range_error(gate_end, gate_len));
    const auto up_end = stacked ? add(*start, *stacked) : std::nullopt;
    if (!up_end || *up_end > gate_len) return quant_error(range_error(up_end, gate_len));
    const auto down_end = mul(e + 1, down_span);
    if (!down_end || *down_end > down_len) return quant_error(range_error(down_end, down_len));
  }
  return {};
}

// Sizes the engine can read and that lose no column: every row of every
// projection is whole groups. Anything else would pack tail columns with
// code 0 and no scale, or no weights at all (while a record of zero bytes
// would let any expert count pass the checks against the sources). Without
// experts nothing is lost: the layer file is empty.
QuantResult<void> check_packable(uint64_t layer, uint64_t intermediate, uint64_t hidden, uint64_t num_experts) {
  const auto whole_groups = [](uint64_t width) { return width > 0 && width % kInt4Group == 0; };
  if (num_experts == 0 || (whole_groups(intermediate) && whole_groups(hidden))) return {};
  return quant_error(fmt::format("layer {}: experts of hidden_size {} and moe_intermediate_size {} cannot be packed: "
                                 "both must be positive multiples of {}",
                                 layer, hidden, intermediate, kInt4Group));
}

template <class T>
void put(std::span<uint8_t> buffer, uint64_t at, const std::vector<T>& values) {
  if (!values.empty()) std::memcpy(buffer.data() + at, values.data(), values.size() * sizeof(T));
}

QuantResult<void> put_matrix(std::span<uint8_t> buffer, uint64_t record, uint64_t weight, uint64_t scales,
                             uint64_t biases, const TensorSource& source, uint64_t first, uint64_t rows, uint64_t cols) {
  auto values = source.values(first, rows * cols);
  if (!values) return std::unexpected(std::move(values.error()));
  auto quantized = quant_f32_to_int4(*values, rows, cols);
  if (!quantized) return std::unexpected(std::move(quantized.error()));
  put(buffer, record + weight, quantized->words);
  put(buffer, record + scales, quantized->scales);
  put(buffer, record + biases, quantized->biases);
  return {};
}

// Experts are independent records, so they are quantized in parallel; each
// writes only its own record, giving the same bytes as one after another.
QuantResult<void> pack_layer(std::span<uint8_t> buffer, const ExpertRecordLayout& layout,
                             const TensorSource& gate_up, const TensorSource& down, uint64_t intermediate, uint64_t hidden,
                             uint64_t num_experts) {
  const uint64_t block = intermediate * hidden;
  // The failure of the lowest expert, as one after another would report it.
  std::mutex failure_mutex;
  uint64_t failed_expert = num_experts;
  std::string failure;
  // Each expert's rows are encoded on the thread that took the expert.
  parallel::for_each_index(num_experts, [&](std::size_t e) {
    const uint64_t record = e * layout.size;
    auto done = put_matrix(buffer, record, layout.gate_weight, layout.gate_scales, layout.gate_biases, gate_up,
                           e * 2 * block, intermediate, hidden);
    if (done) {
      done = put_matrix(buffer, record, layout.up_weight, layout.up_scales, layout.up_biases, gate_up,
                        e * 2 * block + block, intermediate, hidden);
    }
    if (done) {
      done = put_matrix(buffer, record, layout.down_weight, layout.down_scales, layout.down_biases, down, e * block,
                        hidden, intermediate);
    }
    if (!done) {
      const std::lock_guard lock(failure_mutex);
      if (e < failed_expert) failed_expert = e, failure = std::move(done.error());
    }
  });
  if (failed_expert < num_experts) return quant_error(std::move(failure));
  return {};
}

}  // namespace

std::optional<ExpertRecordLayout> ExpertRecordLayout::make(uint64_t hidden, uint64_t intermediate) {
  using Wide = unsigned __int128;
  const Wide gate_words = Wide{intermediate} * ((hidden / 8) * 4);
  const Wide gate_groups = Wide{intermediate} * ((hidden / 64) * 2);
  const Wide down_words = Wide{hidden} * ((intermediate / 8) * 4);
  const Wide down_groups = Wide{hidden} * ((intermediate / 64) * 2);
  const Wide projection = gate_words + 2 * gate_groups;
  const Wide size = 2 * projection + down_words + 2 * down_groups;
  if (size > UINT64_MAX) return std::nullopt;

  const auto at = [](Wide value) { return static_cast<uint64_t>(value); };
  ExpertRecordLayout layout;
  layout.gate_weight = 0;
  layout.gate_scales = at(gate_words);
  layout.gate_biases = at(gate_words + gate_groups);
  layout.up_weight = at(projection);
  layout.up_scales = at(projection + gate_words);
  layout.up_biases = at(projection + gate_words + gate_groups);
  layout.down_weight = at(2 * projection);
  layout.down_scales = at(2 * projection + down_words);
  layout.down_biases = at(2 * projection + down_words + down_groups);
  layout.size = at(size);
  return layout;
}

QuantResult<std::size_t> process_experts_common(uint64_t intermediate, uint64_t hidden, uint64_t num_experts,
                                                const HfRepo& source, const WeightMap& weight_map,
                                                std::span<const ClassifiedTensor> classified,
                                                const std::filesystem::path& out) {
  auto layers = gather(classified);
  if (!layers) return std::unexpected(std::move(layers.error()));
  const auto layout = ExpertRecordLayout::make(hidden, intermediate);
  const auto block = mul(intermediate, hidden);

  std::size_t written = 0;
  for (const auto& [layer, sources] : *layers) {
    if (sources.gate.empty() || sources.down.empty()) {
      fmt::print(stderr, "  Layer {} SKIPPED (missing keys)\n", layer);
      continue;
    }
    if (auto packable = check_packable(layer, intermediate, hidden, num_experts); !packable) {
      return std::unexpected(std::move(packable.error()));
    }
    const auto gate_shard = weight_map.find(sources.gate);
    if (gate_shard == weight_map.end()) return quant_error("shard not found");
    const auto down_shard = weight_map.find(sources.down);
    if (down_shard == weight_map.end()) return quant_error("shard not found");
    const bool same_shard = gate_shard->second == down_shard->second;

    auto gate_path = source.ensure(gate_shard->second);
    if (!gate_path) return std::unexpected(std::move(gate_path.error()));
    auto down_path = same_shard ? gate_path : source.ensure(down_shard->second);
    if (!down_path) return std::unexpected(std::move(down_path.error()));

    auto gate_header = parse_safetensors(*gate_path);
    if (!gate_header) return std::unexpected(std::move(gate_header.error()));
    auto down_header = parse_safetensors(*down_path);
    if (!down_header) return std::unexpected(std::move(down_header.error()));
    auto gate_up = open_source(*gate_path, *gate_header, sources.gate);
    if (!gate_up) return std::unexpected(std::move(gate_up.error()));
    auto down = open_source(*down_path, *down_header, sources.down);
    if (!down) return std::unexpected(std::move(down.error()));
    // The open files keep the shards' data while the experts are packed.
    if (source.is_hf()) {
      source.remove(gate_shard->second);
      if (!same_shard) source.remove(down_shard->second);
    }

    if (!block || !layout) return quant_error(fmt::format("layer {}: expert sizes overflow", layer));
    if (auto ranges = check_ranges(*block, *block, num_experts, gate_up->value_count(), down->value_count()); !ranges) {
      return std::unexpected(std::move(ranges.error()));
    }
    const auto file_size = mul(num_experts, layout->size);
    if (!file_size) return quant_error(fmt::format("layer {}: expert file size overflows", layer));

    // Every byte of every record is one of its nine parts, so the buffer
    // needs no zeroing: each worker first touches the records it fills.
    const std::unique_ptr<uint8_t[]> memory(new uint8_t[*file_size]);
    const std::span<uint8_t> buffer(memory.get(), *file_size);
    if (auto packed = pack_layer(buffer, *layout, *gate_up, *down, intermediate, hidden, num_experts); !packed) {
      return std::unexpected(std::move(packed.error()));
    }

    const std::string file_name = fmt::format("layer_{:02}.bin", layer);
    if (auto saved = write_file(out / "packed_experts" / file_name, buffer); !saved) {
      return std::unexpected(std::move(saved.error()));
    }
    fmt::print(stderr, "  Layer {:02}: {:.1f} MB → {}\n", layer, static_cast<double>(*file_size) / 1e6, file_name);
    ++written;
  }
  return written;
}

}  // namespace varkel
