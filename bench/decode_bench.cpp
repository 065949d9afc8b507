// Decode speed of both engines, one token per forward call, over a synthetic
// StrippedModel directory with the "bq4" storage types (written on first use
// and reused), next to the machine's memory-read bandwidth measured in the
// same run.
//
// Bytes per token: every weight-file tensor except the embedding table (the
// pass reads each once), one embedding row, and k records per layer read from
// the expert files. Roofline fraction = (bytes per token / seconds per token)
// / probe bandwidth.
//
// Usage: decode_bench [--dir PATH] [--tokens N] [--k K] [--probe-bytes N]

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bandwidth_probe.h"
#include "cache/cache.h"
#include "engine/engine.h"
#include "engine/telemetry.h"
#include "model/model.h"
#include "support/test_model_writer.h"

namespace varkel::bench {
namespace {

struct Options {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "varkel-decode-bench-stripped";
  std::size_t tokens = 32;
  std::size_t k = 0;
  std::size_t probe_bytes = std::size_t{1} << 30;
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--dir") {
      o.dir = value;
    } else if (flag == "--tokens") {
      o.tokens = std::strtoull(value, nullptr, 10);
    } else if (flag == "--k") {
      o.k = std::strtoull(value, nullptr, 10);
    } else if (flag == "--probe-bytes") {
      o.probe_bytes = std::strtoull(value, nullptr, 10);
    } else {
      throw std::runtime_error(fmt::format("unknown option {}", flag));
    }
  }
  if (o.tokens == 0) throw std::runtime_error("--tokens must be positive");
  return o;
}

constexpr std::string_view kEmbedPrefix = "language_model.model.embed_tokens.";

// Weight-file bytes the pass reads per token (everything but the embedding
// table) and the bytes of one embedding row.
std::pair<uint64_t, uint64_t> weight_bytes(const WeightFile& weights) {
  uint64_t total = 0;
  for (const auto& [name, info] : weights.tensors()) {
    if (!name.starts_with(kEmbedPrefix)) total += info.size;
  }
  uint64_t row = 0;
  for (std::string_view part : {"weight", "scales", "biases"}) {
    const TensorInfo* info = weights.find(std::string(kEmbedPrefix) + std::string(part));
    if (info != nullptr && !info->shape.empty() && info->shape[0] != 0) row += info->size / info->shape[0];
  }
  return {total, row};
}

struct Run {
  double seconds_per_token;
  double expert_io_ms_per_token;
};

Run decode(std::string_view mode, std::shared_ptr<const Model> model, const Options& o) {
  auto engine = DynEngine::create(mode, model, o.k);
  if (!engine) throw std::runtime_error(engine.error().to_string());
  auto cache = Cache::create(model->config());
  if (!cache) throw std::runtime_error(cache.error().to_string());
  if (auto up = engine->engine().upload_cache(*cache); !up) throw std::runtime_error(up.error().to_string());

  std::vector<float> row(2048);
  auto step = [&](int64_t id) {
    if (auto e = engine->engine().embed_lookup(std::span(&id, 1), row); !e) throw std::runtime_error(e.error().to_string());
    auto logits = engine->engine().forward_hidden(row, nullptr);
    if (!logits) throw std::runtime_error(logits.error().to_string());
  };
  for (int64_t id = 0; id < 2; ++id) step(id);  // warm the page cache and the pool
  set_record_telemetry(true);
  const double io_before = [&] {
    const TelemetryMap t = engine->engine().telemetry();
    auto it = t.find("engine.expert_io_ms");
    return it == t.end() ? 0.0 : std::get<double>(it->second.value);
  }();
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t t = 0; t < o.tokens; ++t) step(static_cast<int64_t>((t * 7919) % 248320));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  set_record_telemetry(false);
  const TelemetryMap t = engine->engine().telemetry();
  const double io_ms = std::get<double>(t.at("engine.expert_io_ms").value) - io_before;
  return {seconds / static_cast<double>(o.tokens), io_ms / static_cast<double>(o.tokens)};
}

int run(int argc, char** argv) {
  const Options o = parse(argc, argv);
  if (!std::filesystem::exists(o.dir / "config.json")) {
    fmt::print(stderr, "writing the synthetic model to {} ...\n", o.dir.string());
    std::filesystem::remove_all(o.dir);
    test_support::write_test_model(o.dir, test_support::TestModelOptions{});
  }
  auto model = Model::load_shared(o.dir.string());
  if (!model) throw std::runtime_error(model.error().to_string());
  const std::size_t layers = (*model)->experts().size();
  const std::size_t k = o.k != 0 ? o.k : 4;
  const auto [weights, embed_row] = weight_bytes((*model)->weights());
  const uint64_t expert_bytes = layers * k * ((*model)->experts().empty() ? 0 : (*model)->experts()[0].expert_size());
  const double bytes_per_token = static_cast<double>(weights + embed_row + expert_bytes);

  std::vector<std::pair<std::string_view, Run>> runs;
  for (std::string_view mode : {"Qwen35MoEFusedExp1", "Qwen35MoEFusedExp2"}) runs.emplace_back(mode, decode(mode, *model, o));
  const ProbeResult probe = memory_read_probe(o.probe_bytes, 3);

  fmt::print("StrippedModel (bq4), {} layers, k = {}, {} tokens per engine\n", layers, k, o.tokens);
  fmt::print("bytes per token: {:.1f} MB = weights {:.1f} MB + experts {:.1f} MB + embedding row {} B\n",
             bytes_per_token / 1e6, weights / 1e6, expert_bytes / 1e6, embed_row);
  fmt::print("memory-read probe: {:.2f} GB/s\n", probe.bytes_per_second / 1e9);
  for (const auto& [mode, r] : runs) {
    const double achieved = bytes_per_token / r.seconds_per_token;
    fmt::print("{:<20} {:8.2f} tok/s  {:8.2f} ms/token (expert reads {:6.2f} ms)  {:7.2f} GB/s  roofline {:.2f}\n",
               mode, 1.0 / r.seconds_per_token, r.seconds_per_token * 1e3, r.expert_io_ms_per_token, achieved / 1e9,
               achieved / probe.bytes_per_second);
  }
  fmt::print("(probe checksum {})\n", probe.checksum);
  return 0;
}

}  // namespace
}  // namespace varkel::bench

int main(int argc, char** argv) {
  try {
    return varkel::bench::run(argc, argv);
  } catch (const std::exception& e) {
    fmt::print(stderr, "decode_bench: {}\n", e.what());
    return 1;
  }
}
