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
// The machine may be shared: engines and probe run in alternating rounds and
// each figure is the best round.
//
// Usage: decode_bench [--dir PATH] [--tokens N] [--rounds R] [--k K] [--probe-bytes N]

#include <fmt/format.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bandwidth_probe.h"
#include "engine/engine.h"
#include "engine/telemetry.h"
#include "model/model.h"
#include "support/test_model_writer.h"

namespace varkel::bench {
namespace {

struct Options {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "varkel-decode-bench-stripped";
  std::size_t tokens = 32;
  std::size_t rounds = 3;
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
    } else if (flag == "--rounds") {
      o.rounds = std::strtoull(value, nullptr, 10);
    } else if (flag == "--k") {
      o.k = std::strtoull(value, nullptr, 10);
    } else if (flag == "--probe-bytes") {
      o.probe_bytes = std::strtoull(value, nullptr, 10);
    } else {
      throw std::runtime_error(fmt::format("unknown option {}", flag));
    }
  }
  if (o.tokens == 0 || o.rounds == 0) throw std::runtime_error("--tokens and --rounds must be positive");
  if (o.tokens > 4000 / o.rounds) throw std::runtime_error("--tokens x --rounds must stay within the 4096 positions");
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

// One engine whose GPU state carries the sequence; each round decodes `tokens`
// more tokens, one per call.
class Decoder {
 public:
  Decoder(std::string_view mode, std::shared_ptr<const Model> model, std::size_t k) : mode_(mode) {
    auto engine = DynEngine::create(mode, std::move(model), k);
    if (!engine) throw std::runtime_error(engine.error().to_string());
    engine_ = std::make_unique<DynEngine>(std::move(*engine));
    for (int64_t id = 0; id < 2; ++id) step(id);  // warm the page cache and the pools
  }

  std::string_view mode() const { return mode_; }

  Run round(std::size_t tokens) {
    set_record_telemetry(true);
    const double io_before = expert_io_ms();
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t t = 0; t < tokens; ++t) step(static_cast<int64_t>((next_++ * 7919) % 248320));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    set_record_telemetry(false);
    const double n = static_cast<double>(tokens);
    return {seconds / n, (expert_io_ms() - io_before) / n};
  }

 private:
  void step(int64_t id) {
    Engine& e = engine_->engine();
    if (auto r = e.embed_lookup(std::span(&id, 1), row_); !r) throw std::runtime_error(r.error().to_string());
    auto logits = e.forward_hidden(row_, nullptr);
    if (!logits) throw std::runtime_error(logits.error().to_string());
  }
  double expert_io_ms() const {
    const TelemetryMap t = engine_->engine().telemetry();
    auto it = t.find("engine.expert_io_ms");
    return it == t.end() ? 0.0 : std::get<double>(it->second.value);
  }

  std::string_view mode_;
  std::unique_ptr<DynEngine> engine_;
  std::vector<float> row_ = std::vector<float>(2048);
  std::size_t next_ = 0;
};

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

  // A new engine's state is an empty sequence; every round continues it.
  std::vector<Decoder> decoders;
  decoders.emplace_back("Qwen35MoEFusedExp1", *model, o.k);
  decoders.emplace_back("Qwen35MoEFusedExp2", *model, o.k);
  std::vector<std::pair<std::string_view, Run>> runs;
  for (const Decoder& d : decoders) runs.emplace_back(d.mode(), Run{1e30, 0});
  ProbeResult probe{0, 0};
  for (std::size_t r = 0; r < o.rounds; ++r) {
    for (std::size_t i = 0; i < decoders.size(); ++i) {
      const Run got = decoders[i].round(o.tokens);
      if (got.seconds_per_token < runs[i].second.seconds_per_token) runs[i].second = got;
    }
    const ProbeResult p = memory_read_probe(o.probe_bytes, 3);
    if (p.bytes_per_second > probe.bytes_per_second) probe = p;
  }

  fmt::print("StrippedModel (bq4), {} layers, k = {}, best of {} rounds of {} tokens per engine\n", layers, k,
             o.rounds, o.tokens);
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
