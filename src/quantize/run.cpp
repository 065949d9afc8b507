#include "quantize/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "error/create_dir_all.h"
#include "error/debug_quote.h"
#include "model/config/json_text.h"
#include "quantize/file_io.h"
#include "quantize/tensor_checks.h"
#include "quantize/parallel_encode.h"
#include "quantize/previous_output.h"
#include "quantize/tensor_source.h"
#include "safetensors/safetensors.h"

namespace varkel {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kAlignment = 64;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void print_banner(std::string_view title) {
  const std::string rule(60, '=');
  fmt::print(stderr, "\n{}\n{}\n{}\n", rule, title, rule);
}

template <class T>
std::unexpected<std::string> pass_on(QuantResult<T>& result) {
  return std::unexpected(std::move(result.error()));
}

struct Index {
  WeightMap weight_map;
  // Shard name to the tensor names it holds, shards in ascending order.
  std::map<std::string, std::vector<std::string>> shards;
};

QuantResult<Index> read_index(const HfRepo& repo) {
  if (auto config = repo.ensure("config.json"); !config) return pass_on(config);
  auto index_path = repo.ensure("model.safetensors.index.json");
  if (!index_path) return pass_on(index_path);
  auto text = read_text(*index_path);
  if (!text) return pass_on(text);
  auto parsed = parse_json(*text);
  if (!parsed) return quant_error(std::move(parsed.error()));
  nlohmann::json root = std::move(*parsed);

  Index index;
  const auto map = root.is_object() ? root.find("weight_map") : root.end();
  if (root.is_object() && map != root.end() && map->is_object()) {
    for (const auto& [name, shard] : map->items()) {
      std::string file = shard.is_string() ? shard.get<std::string>() : std::string();
      // Shards are read, and for a hub source deleted: they must lie inside the checkpoint.
      if (auto valid = check_file_name(file); !valid) {
        return quant_error(fmt::format("model.safetensors.index.json: tensor {}: {}", name, valid.error()));
      }
      index.shards[file].push_back(name);
      index.weight_map.emplace(name, std::move(file));
    }
  }
  fmt::print(stderr, "  Total tensors: {}\n", index.weight_map.size());
  return index;
}

// Writes the parts of the encoded tensors back to back and records them.
class WeightWriter {
 public:
  explicit WeightWriter(OutputFile file) : file_(std::move(file)) {}

  // Starts a tensor at the next multiple of 64 bytes.
  QuantResult<void> align() {
    const uint64_t gap = (kAlignment - offset_ % kAlignment) % kAlignment;
    if (auto written = file_.write_zeros(gap); !written) return written;
    offset_ += gap;
    return {};
  }

  QuantResult<void> write_part(const std::string& name, const EncodedTensor& part) {
    if (auto written = file_.write_all(part.data); !written) return written;
    tensors_[name] = {{"dtype", part.dtype},
                      {"offset", offset_},
                      {"shape", part.shape},
                      {"size", static_cast<uint64_t>(part.data.size())}};
    offset_ += part.data.size();
    bytes_written_ += part.data.size();
    ++parts_;
    return {};
  }

  // Gives the finished file its name.
  QuantResult<void> commit() { return file_.commit(); }

  uint64_t bytes_written() const { return bytes_written_; }
  uint64_t parts() const { return parts_; }
  nlohmann::json take_tensors() { return std::move(tensors_); }

 private:
  OutputFile file_;
  uint64_t offset_ = 0;
  uint64_t bytes_written_ = 0;
  uint64_t parts_ = 0;
  nlohmann::json tensors_ = nlohmann::json::object();
};

std::size_t column_group(DType dtype) {
  switch (dtype) {
    case DType::U32:
    case DType::Fp4E2m1: return kFp4Group;
    case DType::Fp8E4m3: return kFp8Group;
    default: return 1;
  }
}

bool is_grouped(DType dtype) { return dtype != DType::F32 && dtype != DType::Bf16; }

// Reads, cleans, pads, encodes and writes one NonExpert tensor.
QuantResult<void> convert_tensor(const std::filesystem::path& shard_path, const SafetensorsHeader& header,
                                 const std::string& name, const TensorMeta& meta, const WeightClass& cls,
                                 const QuantScheme& scheme, WeightWriter& writer) {
  FloatArray widened;
  {
    auto source = TensorSource::open(shard_path, header, name);
    if (!source) return pass_on(source);
    auto all = source->all_values();
    if (!all) return pass_on(all);
    widened = std::move(*all);
  }
  std::span<const float> values = widened.span();
  std::vector<std::size_t> shape = meta.shape;
  if (auto sanitized = scheme.sanitize(cls.name, widened.span(), shape); !sanitized) return sanitized;

  if (shape.empty()) return quant_error(fmt::format("tensor {} has an empty shape", name));
  const std::size_t rows = shape[0];
  std::size_t cols = shape.size() >= 2 ? shape[1] : 0;
  std::vector<float> padded_values;
  if (is_grouped(cls.dtype)) {
    if (auto enough = check_value_count(name, values.size(), rows, cols); !enough) return enough;
    auto padded = padded_width(name, rows, cols, column_group(cls.dtype));
    if (!padded) return pass_on(padded);
    if (*padded != cols) {
      padded_values = pad_columns(values, rows, cols, *padded);
      values = padded_values;
      cols = *padded;
    }
  }

  if (auto aligned = writer.align(); !aligned) return aligned;
  std::string base = cls.name;
  if (is_grouped(cls.dtype) && base.ends_with(".weight")) base.resize(base.size() - 7);
  auto parts = encode_parallel(cls.dtype, values, rows, cols);
  if (!parts) return pass_on(parts);
  widened = FloatArray();
  padded_values = {};
  for (const EncodedTensor& part : *parts) {
    if (auto written = writer.write_part(base + std::string(part.suffix), part); !written) return written;
  }
  return {};
}

std::string dtype_counts_text(const std::map<std::string, uint64_t>& counts) {
  std::string text = "{";
  for (const auto& [dtype, count] : counts) {
    if (text.size() > 1) text += ", ";
    text += fmt::format("{}: {}", debug_quoted(dtype), count);
  }
  return text + "}";
}

// Compares as paths: "out/" and "out/./" name "out"; so do two spellings of one file.
bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
  const auto normal = [](const std::filesystem::path& p) {
    std::filesystem::path n = p.lexically_normal();
    return n.has_filename() ? n : n.parent_path();
  };
  if (normal(a) == normal(b)) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec);
}

std::filesystem::path source_config(const HfRepo& repo) { return repo.path() / "config.json"; }

QuantResult<void> copy_config(const HfRepo& repo, const std::filesystem::path& out) {
  const std::filesystem::path from = source_config(repo);
  const std::filesystem::path to = out / "config.json";
  std::error_code ec;
  if (!std::filesystem::exists(from, ec) || same_file(from, to)) return {};
  return copy_whole_file(from, to);
}

}  // namespace

QuantResult<void> run_with_repo(const HfRepo& repo, std::string_view source, const std::filesystem::path& out,
                                const QuantScheme& scheme, const InterruptCheck& check_interrupt) {
  for (const auto& dir : {out, out / "packed_experts"}) {
    if (auto made = create_dir_all(dir); !made) return quant_error(made.error().to_string());
  }

  auto index = read_index(repo);
  if (!index) return pass_on(index);

  nlohmann::json manifest = nlohmann::json::object();
  manifest["model"] = std::string(source);
  manifest["num_tensors"] = 0;
  nlohmann::json config = nlohmann::json::object();
  if (auto filled = scheme.write_manifest_config(config); !filled) return filled;
  manifest["config"] = std::move(config);

  print_banner("Quantizing non-expert weights...");
  if (auto cleared = remove_previous_output(out, same_file(source_config(repo), out / "config.json")); !cleared) {
    return cleared;
  }
  const std::filesystem::path weights_path = out / "model_weights.bin";
  auto weights_file = OutputFile::create(weights_path);
  if (!weights_file) return quant_error(fmt::format("cannot create {}: {}", weights_path.string(), weights_file.error()));
  WeightWriter writer(std::move(*weights_file));

  const Clock::time_point start = Clock::now();
  std::map<std::string, uint64_t> dtype_counts;
  std::map<std::string, WeightClass> classified;
  for (const auto& [shard, names] : index->shards) {
    if (check_interrupt) {
      if (auto pending = check_interrupt()) return quant_error("interrupted: " + *pending);
    }
    auto shard_path = repo.ensure(shard, check_interrupt);  // Ctrl-C also ends a long shard download
    if (!shard_path) return pass_on(shard_path);
    fmt::print(stderr, "  Caching header: {}\n", shard);
    auto header = parse_safetensors(*shard_path);
    if (!header) return pass_on(header);

    // In file order, so the shard is read front to back.
    std::vector<std::pair<const std::string*, const TensorMeta*>> present;
    for (const std::string& name : names) {
      const auto meta = header->tensors.find(name);
      if (meta != header->tensors.end()) present.emplace_back(&name, &meta->second);
    }
    std::ranges::sort(present, [](const auto& a, const auto& b) {
      return std::tie(a.second->data_offsets, *a.first) < std::tie(b.second->data_offsets, *b.first);
    });

    for (const auto& [name, meta] : present) {
      WeightClass cls = scheme.classify(*name, meta->shape);
      classified.insert_or_assign(*name, cls);
      if (cls.kind != WeightClass::Kind::NonExpert) continue;
      ++dtype_counts[std::string(as_str(cls.dtype))];
      if (auto done = convert_tensor(*shard_path, *header, *name, *meta, cls, scheme, writer); !done) return done;
    }

    if (repo.is_hf()) {
      repo.remove(shard);
      fmt::print(stderr, "  Deleted {}\n", shard);
    }
  }

  if (auto committed = writer.commit(); !committed) return committed;
  manifest["num_tensors"] = writer.parts();
  manifest["tensors"] = writer.take_tensors();
  const double elapsed = seconds_since(start);
  const double gigabytes = static_cast<double>(writer.bytes_written()) / 1e9;
  fmt::print(stderr, "  {} tensors, {:.2f} GB\n", writer.parts(), gigabytes);
  fmt::print(stderr, "  Written in {:.1f}s ({:.1f} GB/s)\n", elapsed, gigabytes / elapsed);
  fmt::print(stderr, "  By dtype: {}\n", dtype_counts_text(dtype_counts));
  const std::filesystem::path manifest_path = out / "model_weights.json";
  {
    const std::string text = to_pretty_json(manifest);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    if (auto saved = write_file(manifest_path, {bytes, text.size()}); !saved) return saved;
  }
  fmt::print(stderr, "  Manifest: {}\n", manifest_path.string());

  print_banner("Quantizing expert weights...");
  const Clock::time_point expert_start = Clock::now();
  const std::vector<ClassifiedTensor> expert_input(classified.begin(), classified.end());
  classified.clear();
  auto layers = scheme.process_experts(repo, index->weight_map, expert_input, out);
  if (!layers) return pass_on(layers);
  fmt::print(stderr, "\n  {} expert layers in {:.1f}s\n", *layers, seconds_since(expert_start));

  if (auto copied = copy_config(repo, out); !copied) return copied;

  std::error_code ec;
  const uintmax_t weights_size = std::filesystem::file_size(weights_path, ec);
  const std::string rule(60, '=');
  fmt::print(stderr, "\n{}\nDone!\n", rule);
  fmt::print(stderr, "  model_weights.bin : {:.2f} GB\n", ec ? 0.0 : static_cast<double>(weights_size) / 1e9);
  fmt::print(stderr, "  model_weights.json: {}\n", manifest_path.string());
  fmt::print(stderr, "  packed_experts    : {} layers\n", *layers);
  fmt::print(stderr, "  Total time        : {:.1f}s\n", seconds_since(start));
  fmt::print(stderr, "{}\n", rule);
  return {};
}

QuantResult<void> run(std::string_view source, std::string_view output_dir, const QuantScheme& scheme,
                      const InterruptCheck& check_interrupt) {
  std::error_code ec;
  const std::filesystem::path source_path(source);
  if (std::filesystem::is_directory(source_path, ec)) {
    return run_with_repo(HfRepo::local(source_path), source, output_dir, scheme, check_interrupt);
  }
  auto repo = HfRepo::from_hf(source);
  if (!repo) return pass_on(repo);
  return run_with_repo(*repo, source, output_dir, scheme, check_interrupt);
}

}  // namespace varkel
