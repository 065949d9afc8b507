// Engine construction (both constant sets), cache upload/download of the full
// model's state, the host cost of encoding one mat-vec (three manifest
// lookups and a dispatch record), and what running a dispatch costs beyond
// its arithmetic: command buffers of eight small or expert-sized dispatches,
// once independent (one parallel step) and once each writing the same output
// (eight steps). Run by hand, never by tests.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>

#include <fmt/format.h>

#include "cache/cache.h"
#include "engine/engine.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "engine/qwen35_moe/metal_kernels.h"
#include "support/test_model_writer.h"

namespace {

using Clock = std::chrono::steady_clock;
double ms_since(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

std::shared_ptr<const varkel::Model> write_model(const std::filesystem::path& dir,
                                                 varkel::test_support::TestModelOptions options) {
  varkel::test_support::write_test_model(dir, options);
  auto model = varkel::Model::load_shared(dir.string());
  if (!model) throw std::runtime_error(model.error().to_string());
  return *model;
}

}  // namespace

int main() {
  using namespace varkel;
  const auto root = std::filesystem::temp_directory_path() / fmt::format("varkel_engine_bench_{}", ::getpid());
  // Diagnostics of construction go to stderr; keep the report on stdout.
  const test_support::TestModelOptions full_options = test_support::full_model_options(true);
  test_support::TestModelOptions stripped_options;
  // A 16-row embedding keeps the file small; the lm head, which the engine
  // binds at the full vocabulary, is left out.
  stripped_options.vocab_rows = 16;
  stripped_options.omit = [](const std::string& name) { return name == "language_model.lm_head.weight"; };
  stripped_options.empty_experts = true;
  auto full = write_model(root / "full", full_options);
  auto stripped = write_model(root / "stripped", stripped_options);

  for (auto [name, model] : {std::pair{"StrippedModel", stripped}, std::pair{"FullModel", full}}) {
    constexpr int kRuns = 5;
    double best = 1e300;
    for (int i = 0; i < kRuns; ++i) {
      const auto start = Clock::now();
      auto engine = DynEngine::create("Qwen35MoEFusedExp2", model, 0);
      best = std::min(best, ms_since(start));
      if (!engine) throw std::runtime_error(engine.error().to_string());
    }
    fmt::print("construct {:<14} best of {}: {:8.2f} ms\n", name, kRuns, best);
  }

  auto engine = DynEngine::create("Qwen35MoEFusedExp2", full, 0);
  auto cache = Cache::create(full->config());
  for (std::size_t pos : {std::size_t{0}, std::size_t{4096}}) {
    cache->pos = pos;
    for (auto& state : cache->layers) {
      if (auto* f = std::get_if<FullState>(&state)) f->len = pos;
    }
    const std::size_t bytes = 30 * (98304 + 2097152) + 20 * pos * 2048;
    constexpr int kRuns = 10;
    double up = 1e300, down = 1e300;
    for (int i = 0; i < kRuns; ++i) {
      auto start = Clock::now();
      if (!engine->engine().upload_cache(*cache)) return 1;
      up = std::min(up, ms_since(start));
      start = Clock::now();
      if (!engine->engine().download_cache(*cache)) return 1;
      down = std::min(down, ms_since(start));
    }
    fmt::print("cache pos {:4}: {:6.1f} MB each way, upload {:7.2f} ms ({:5.1f} GB/s), download {:7.2f} ms ({:5.1f} GB/s)\n",
               pos, bytes / 1e6, up, bytes / up / 1e6, down, bytes / down / 1e6);
  }

  // Encoding cost of one mat-vec (no execution).
  auto small = DynEngine::create("Qwen35MoEFusedExp2", stripped, 0);
  auto& state = dynamic_cast<qwen35::FusedExp2Stripped&>(small->engine()).state();
  constexpr int kCalls = 20000;
  auto cmd = state.ctx.queue->command_buffer();
  auto enc = cmd->compute_command_encoder();
  const auto start = Clock::now();
  for (int i = 0; i < kCalls; ++i) {
    auto ok = state.weights.encode_matvec_into(stripped->weights(), state.ctx, *enc,
                                               "language_model.model.layers.0.linear_attn.in_proj_z", state.ctx.buf_normed,
                                               state.ctx.linear_scratch[1], 4096, 2048);
    if (!ok || !*ok) return 1;
  }
  fmt::print("encode_matvec_into (u32, encode only): {:.2f} us per call\n", ms_since(start) * 1000.0 / kCalls);
  enc->end_encoding();

  // Eight dispatches per command buffer; `independent` gives each its own output.
  const qwen35::ExpertBuffer& ex = state.experts;
  auto run_eight = [&](bool matvec, bool independent) {
    constexpr int kBuffers = 200;
    double best = 1e300;
    for (int round = 0; round < 5; ++round) {
      const auto begin = Clock::now();
      for (int b = 0; b < kBuffers; ++b) {
        auto c = state.ctx.queue->command_buffer();
        auto e = c->compute_command_encoder();
        for (std::size_t i = 0; i < 8; ++i) {
          const std::size_t out = independent ? i : 0;
          const metal::BufferPtr& d = ex.expert_data[i];
          auto ok = matvec ? qwen35::encode_matvec_offset(state.ctx, *e, {d, 0}, {d, 524288}, {d, 557056},
                                                          state.ctx.buf_mlp_in, ex.gate_out[out], 512, 2048, 64, 3)
                           : qwen35::encode_swiglu(state.ctx, *e, ex.up_out[i], ex.up_out[i], ex.act[out], 512);
          if (!ok) throw std::runtime_error(ok.error().to_string());
        }
        e->end_encoding();
        c->commit();
        if (c->status() != metal::CommandBufferStatus::Completed) throw std::runtime_error(c->error());
      }
      best = std::min(best, ms_since(begin) * 1000.0 / (kBuffers * 8));
    }
    return best;
  };
  for (bool matvec : {false, true}) {
    fmt::print("{}: {:.2f} us per dispatch independent, {:.2f} us chained\n",
               matvec ? "4-bit mat-vec 512x2048 (expert gate)" : "SwiGLU of 512 (encode and run)", run_eight(matvec, true),
               run_eight(matvec, false));
  }
  std::filesystem::remove_all(root);
  return 0;
}
