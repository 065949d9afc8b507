// Conversion throughput on a synthetic Qwen3.5-MoE checkpoint: GB of source
// checkpoint per second for each scheme, with the non-expert and expert
// phases as the driver reports them.
//
// quantize_bench [work_dir] [experts] [layers] [vocab]

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include <fmt/format.h>

#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/qwen35_moe/int4/int4_scheme.h"
#include "quantize/run.h"
#include "quantize/synthetic_checkpoint.h"

namespace {

using namespace varkel;

uint64_t directory_bytes(const std::filesystem::path& dir) {
  uint64_t total = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file()) total += entry.file_size();
  }
  return total;
}

template <class Scheme>
int convert(const char* label, const std::filesystem::path& src, const std::filesystem::path& out,
            uint64_t source_bytes) {
  auto scheme = Scheme::create(src, false);
  if (!scheme) {
    fmt::print(stderr, "{}: {}\n", label, scheme.error());
    return 1;
  }
  std::filesystem::remove_all(out);
  const auto start = std::chrono::steady_clock::now();
  auto result = run(src.string(), out.string(), *scheme);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!result) {
    fmt::print(stderr, "{}: {}\n", label, result.error());
    return 1;
  }
  fmt::print("{}: {:.2f} GB of source in {:.2f} s = {:.2f} GB/s (output {:.2f} GB)\n", label, source_bytes / 1e9,
             seconds, source_bytes / 1e9 / seconds, directory_bytes(out) / 1e9);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path work = argc > 1 ? argv[1] : std::filesystem::temp_directory_path() / "varkel-quantize-bench";
  quantize_test::CheckpointShape shape;
  shape.hidden = 2048;
  shape.intermediate = 512;
  shape.shared_intermediate = 512;
  shape.experts = argc > 2 ? std::stoul(argv[2]) : 64;
  shape.layers = argc > 3 ? std::stoul(argv[3]) : 4;
  shape.vocab = argc > 4 ? std::stoul(argv[4]) : 65536;
  shape.heads = 16;
  shape.kv_heads = 2;
  shape.head_dim = 256;
  shape.linear_value_heads = 32;
  shape.linear_key_heads = 16;
  shape.linear_head_dim = 128;

  const std::filesystem::path src = work / "checkpoint";
  if (!std::filesystem::exists(src / "model.safetensors.index.json")) {
    fmt::print(stderr, "writing the checkpoint to {} ...\n", src.string());
    quantize_test::write_checkpoint(src, quantize_test::make_config(shape), quantize_test::checkpoint_specs(shape, 1));
  }
  uint64_t source_bytes = 0;
  for (const auto& entry : std::filesystem::directory_iterator(src)) {
    if (entry.path().extension() == ".safetensors") source_bytes += entry.file_size();
  }
  fmt::print("checkpoint: hidden {}, {} layers of {} experts ({} x {}), vocab {}\n", shape.hidden, shape.layers,
             shape.experts, 2 * shape.intermediate, shape.hidden, shape.vocab);
  if (convert<BQ4Scheme>("bq4", src, work / "out-bq4", source_bytes) != 0) return 1;
  if (convert<Int4Scheme>("int4", src, work / "out-int4", source_bytes) != 0) return 1;
  return 0;
}
