// Decode speed of both engines, one token per forward call, over a synthetic
// StrippedModel directory with the "bq4" storage types (written on first use
// and reused), next to the machine's memory-read bandwidth measured in the
// same run.
//
// Bytes per token as decode_run.h counts them. Roofline fraction = (bytes per
// token / seconds per token) / probe bandwidth.
//
// The machine may be shared: engines and probe run in alternating rounds and
// each figure is the best round.
//
// Usage: decode_bench [--dir PATH] [--tokens N] [--rounds R] [--k K] [--probe-bytes N] [--smoke]
// --smoke: a few tokens of one round, for CI; fails on any engine error.

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
#include "decode_run.h"
#include "engine/engine.h"
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
  for (int i = 1; i < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--smoke") {
      o.tokens = 4;
      o.rounds = 1;
      o.probe_bytes = std::size_t{64} << 20;
      --i;
      continue;
    }
    if (i + 1 >= argc) throw std::runtime_error(fmt::format("{} needs a value", flag));
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
  const DecodeBytes bytes = decode_bytes(**model, k);
  const double bytes_per_token = static_cast<double>(bytes.total());

  // A new engine's state is an empty sequence; every round continues it.
  std::vector<Decoder> decoders;
  decoders.emplace_back("Qwen35MoEFusedExp1", *model, o.k);
  decoders.emplace_back("Qwen35MoEFusedExp2", *model, o.k);
  std::vector<std::pair<std::string_view, DecodeRound>> runs;
  for (const Decoder& d : decoders) runs.emplace_back(d.mode(), DecodeRound{1e30, 0, {}});
  ProbeResult probe{0, 0};
  for (std::size_t r = 0; r < o.rounds; ++r) {
    for (std::size_t i = 0; i < decoders.size(); ++i) {
      const DecodeRound got = decoders[i].round(o.tokens);
      if (got.seconds_per_token < runs[i].second.seconds_per_token) runs[i].second = got;
    }
    const ProbeResult p = memory_read_probe(o.probe_bytes, 3);
    if (p.bytes_per_second > probe.bytes_per_second) probe = p;
  }

  fmt::print("StrippedModel (bq4), {} layers, k = {}, best of {} rounds of {} tokens per engine\n", layers, k,
             o.rounds, o.tokens);
  fmt::print("bytes per token: {:.1f} MB = weights {:.1f} MB + experts (read and staged) {:.1f} MB + "
             "linear-attention state {:.1f} MB + embedding row {} B\n",
             bytes_per_token / 1e6, bytes.weights / 1e6, bytes.experts / 1e6, bytes.linear_state / 1e6,
             bytes.embedding_row);
  fmt::print("memory-read probe: {:.2f} GB/s\n", probe.bytes_per_second / 1e9);
  for (const auto& [mode, r] : runs) {
    const double achieved = bytes_per_token / r.seconds_per_token;
    fmt::print("{:<20} {:8.2f} tok/s  {:8.2f} ms/token (expert reads {:6.2f} ms)  {:7.2f} GB/s  roofline {:.2f}\n",
               mode, 1.0 / r.seconds_per_token, r.seconds_per_token * 1e3, r.expert_io_ms_per_token, achieved / 1e9,
               achieved / probe.bytes_per_second);
    fmt::print("  per token: {}\n", format_breakdown(r.breakdown));
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
