// Weight bytes per second of the engine's hot kernels, next to the machine's
// memory-read bandwidth measured in the same run.
//
// Each case is one kernel dispatch through the compute layer (command buffer,
// checks, run). "hot" repeats it on one copy of its weights, which may stay
// in the caches; "cold" rotates over enough copies of the weights to cover
// --cold-bytes (default 1 GiB), so every dispatch streams from memory. The
// ratio compares the cold figure with the probe, measured right before and
// after each case (their mean), since other work on a shared machine changes
// both by the minute.
//
// To add a case, append a BenchCase to the list in main(): its buffers (weight
// buffers are copied for the cold rotation, the others are shared), how to
// fill them, its arguments in binding order, and its grid.
//
// Before the cases, "4-bit row loop" times the 4-bit kernel's row loop alone
// on the calling thread (no dispatch, no worker threads) over weights that
// fit L1, L2 and neither, repeated: what its instruction mix allows on one
// core, to hold the single-thread hot figure against. The same loop then
// runs on as many threads as the pool has, each on weights of its own that
// fit its L2, all at once: what the cores give together, which on a shared
// host can be well below that many times one core (the all-core ceiling of
// the mat-vecs, whatever the memory allows).
//
// Usage: kernel_bench [--cold-bytes N] [--seconds S] [--probe-bytes N] [--only SUBSTRING]

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <thread>
#include <string>
#include <vector>

#include "bandwidth_probe.h"
#include "metal/kernels/matvec_job.h"
#include "metal/kernels/worker_pool.h"
#include "engine/qwen35_moe/embedded_shader.h"
#include "metal/metal.h"

namespace varkel::bench {
namespace {

using namespace varkel::metal;

enum class Fill { RandomBytes, Bf16Small, F32Small, Zero };

struct BufferSpec {
  std::size_t bytes;
  Fill fill;
};

struct BenchArg {
  enum class Kind { Weight, Other, Constant } kind;
  uint32_t value;  // buffer number within its list, or the constant's bits
};
BenchArg W(uint32_t i) { return {BenchArg::Kind::Weight, i}; }
BenchArg O(uint32_t i) { return {BenchArg::Kind::Other, i}; }
BenchArg C(uint32_t v) { return {BenchArg::Kind::Constant, v}; }

struct BenchCase {
  std::string kernel;
  std::string shape;
  std::vector<BufferSpec> weights;  // streamed: counted in the bytes per second
  std::vector<BufferSpec> others;   // inputs, outputs, state
  std::vector<BenchArg> args;       // binding index = position
  Size threadgroups;
  Size threads;
};

uint64_t next_random(uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

void fill_buffer(Buffer& b, Fill fill, uint64_t seed) {
  uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  auto* bytes = static_cast<unsigned char*>(b.contents());
  const std::size_t n = b.length();
  switch (fill) {
    case Fill::Zero: break;
    case Fill::RandomBytes:
      for (std::size_t i = 0; i + 8 <= n; i += 8) {
        uint64_t v = next_random(state);
        std::memcpy(bytes + i, &v, 8);
      }
      break;
    case Fill::Bf16Small:
      for (std::size_t i = 0; i + 2 <= n; i += 2) {
        float f = (static_cast<float>(next_random(state) % 2001) - 1000.0f) * 1e-5f;
        uint16_t h = static_cast<uint16_t>(std::bit_cast<uint32_t>(f) >> 16);
        std::memcpy(bytes + i, &h, 2);
      }
      break;
    case Fill::F32Small:
      for (std::size_t i = 0; i + 4 <= n; i += 4) {
        float f = (static_cast<float>(next_random(state) % 2001) - 1000.0f) * 1e-3f;
        std::memcpy(bytes + i, &f, 4);
      }
      break;
  }
}

struct Options {
  std::size_t cold_bytes = std::size_t{1} << 30;
  std::size_t probe_bytes = std::size_t{1} << 30;
  double seconds = 1.0;
  std::string only;
};

struct Measurement {
  double seconds_per_dispatch;
  double bytes_per_second;
};

class Runner {
 public:
  Runner(DevicePtr device, LibraryPtr library, const Options& options)
      : device_(std::move(device)), queue_(device_->new_command_queue()), library_(std::move(library)),
        options_(options) {}

  // Runs one case; prints its line. Returns false when the case could not run.
  bool run(const BenchCase& c, BandwidthProbe& probe) {
    auto function = library_->new_function(c.kernel);
    if (!function) {
      fmt::print("{:<28} {:<16} skipped: {}\n", c.kernel, c.shape, function.error());
      return false;
    }
    pipeline_ = *device_->new_compute_pipeline_state(*function);
    uint64_t weight_bytes = 0;
    for (const auto& w : c.weights) weight_bytes += w.bytes;
    const std::size_t copies = std::max<std::size_t>(1, (options_.cold_bytes + weight_bytes - 1) / weight_bytes);

    others_.clear();
    for (std::size_t i = 0; i < c.others.size(); ++i) {
      others_.push_back(make(c.others[i], 1000 + i));
    }
    weights_.assign(copies, {});
    for (std::size_t k = 0; k < copies; ++k) {
      for (std::size_t i = 0; i < c.weights.size(); ++i) {
        if (k == 0) {
          weights_[k].push_back(make(c.weights[i], i));
        } else {
          weights_[k].push_back(make({c.weights[i].bytes, Fill::Zero}, 0));
          std::memcpy(weights_[k][i]->contents(), weights_[0][i]->contents(), c.weights[i].bytes);
        }
      }
    }

    const double probe_before = probe.measure(3).bytes_per_second;
    auto hot = measure(c, 1, weight_bytes);
    auto cold = measure(c, copies, weight_bytes);
    if (!hot || !cold) return false;
    const double probe_after = probe.measure(3).bytes_per_second;
    const double bandwidth = (probe_before + probe_after) / 2;
    fmt::print("{:<24} {:<12} {:>7.2f} MB  hot {:>8.1f} us {:>6.1f} GB/s  cold {:>8.1f} us {:>6.1f} GB/s  "
               "probe {:>5.1f} GB/s  cold/probe {:.2f}\n",
               c.kernel, c.shape, weight_bytes / 1e6, hot->seconds_per_dispatch * 1e6, hot->bytes_per_second / 1e9,
               cold->seconds_per_dispatch * 1e6, cold->bytes_per_second / 1e9, bandwidth / 1e9,
               cold->bytes_per_second / bandwidth);
    weights_.clear();
    others_.clear();
    return true;
  }

 private:
  BufferPtr make(const BufferSpec& spec, uint64_t seed) {
    auto b = device_->new_buffer(spec.bytes);
    if (!b) {
      fmt::print(stderr, "cannot allocate {} bytes: {}\n", spec.bytes, b.error());
      std::exit(1);
    }
    fill_buffer(**b, spec.fill, seed);
    return *b;
  }

  bool dispatch_once(const BenchCase& c, std::size_t copy) {
    auto cmd = queue_->command_buffer();
    auto enc = cmd->compute_command_encoder();
    enc->set_compute_pipeline_state(pipeline_);
    for (uint32_t i = 0; i < c.args.size(); ++i) {
      const auto& a = c.args[i];
      switch (a.kind) {
        case BenchArg::Kind::Weight: enc->set_buffer(weights_[copy][a.value], 0, i); break;
        case BenchArg::Kind::Other: enc->set_buffer(others_[a.value], 0, i); break;
        case BenchArg::Kind::Constant: enc->set_bytes(&a.value, 4, i); break;
      }
    }
    enc->dispatch_threadgroups(c.threadgroups, c.threads);
    enc->end_encoding();
    cmd->commit();
    cmd->wait_until_completed();
    if (cmd->status() != CommandBufferStatus::Completed) {
      fmt::print("{:<28} {:<16} failed: {}\n", c.kernel, c.shape, cmd->error());
      return false;
    }
    return true;
  }

  std::optional<Measurement> measure(const BenchCase& c, std::size_t copies, uint64_t weight_bytes) {
    for (std::size_t k = 0; k < copies; ++k) {
      if (!dispatch_once(c, k)) return std::nullopt;
    }
    uint64_t dispatches = 0;
    const auto t0 = std::chrono::steady_clock::now();
    double elapsed = 0.0;
    while (elapsed < options_.seconds || dispatches < 10) {
      if (!dispatch_once(c, dispatches % copies)) return std::nullopt;
      ++dispatches;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    const double per = elapsed / static_cast<double>(dispatches);
    return Measurement{per, static_cast<double>(weight_bytes) / per};
  }

  DevicePtr device_;
  CommandQueuePtr queue_;
  LibraryPtr library_;
  Options options_;
  ComputePipelineStatePtr pipeline_;
  std::vector<std::vector<BufferPtr>> weights_;
  std::vector<BufferPtr> others_;
};

// The 4-bit row loop on this thread over `rows` rows of `in_dim` columns, repeated for `seconds`.
// The job has one row more, never computed: a job's last row takes a slower loop.
double row_loop_bytes_per_second(uint32_t rows, uint32_t in_dim, double seconds) {
  const uint32_t groups = in_dim / 64;
  std::vector<uint32_t> words(std::size_t{rows + 1} * in_dim / 8);
  std::vector<uint16_t> scales(std::size_t{rows + 1} * groups), biases(scales.size());
  std::vector<float> x(in_dim), out(rows + 1);
  alignas(64) float x_blocks[kTiledMaxInDim];
  uint64_t state = 7;
  for (auto& w : words) w = static_cast<uint32_t>(next_random(state));
  for (auto* v : {&scales, &biases}) {
    for (auto& h : *v) h = static_cast<uint16_t>(0x3C00 + next_random(state) % 256);  // about 0.008 .. 0.016
  }
  for (auto& f : x) f = static_cast<float>(next_random(state) % 2001) * 1e-3f - 1.0f;
  const MatvecJob job{MatvecFormat::Affine4, words.data(), scales.data(), biases.data(), nullptr, x.data(),
                      out.data(), rows + 1, in_dim, 64};
  regroup_x_blocks(x.data(), in_dim, x_blocks);
  const double bytes = static_cast<double>(rows) * (in_dim / 2 + 4 * groups);
  matvec_rows(job, x_blocks, 0, rows);
  uint64_t passes = 0;
  const auto t0 = std::chrono::steady_clock::now();
  double elapsed = 0.0;
  while (elapsed < seconds) {
    for (int i = 0; i < 16; ++i) matvec_rows(job, x_blocks, 0, rows);
    passes += 16;
    elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  return bytes * static_cast<double>(passes) / elapsed;
}

constexpr uint32_t ceil_div(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

// The tiled mat-vecs: ceil(out_dim / 8) threadgroups of 256 threads.
BenchCase affine4_v3(uint32_t out_dim, uint32_t in_dim) {
  const std::size_t groups = std::size_t{out_dim} * (in_dim / 64);
  return {"dequant_matvec_4bit_v3",
          fmt::format("{}x{}", out_dim, in_dim),
          {{std::size_t{out_dim} * in_dim / 2, Fill::RandomBytes}, {groups * 2, Fill::Bf16Small},
           {groups * 2, Fill::Bf16Small}},
          {{std::size_t{in_dim} * 4, Fill::F32Small}, {std::size_t{out_dim} * 4, Fill::Zero}},
          {W(0), W(1), W(2), O(0), O(1), C(out_dim), C(in_dim), C(64)},
          Size{ceil_div(out_dim, 8), 1, 1},
          Size{256, 1, 1}};
}

BenchCase bf16(uint32_t out_dim, uint32_t in_dim) {
  return {"matvec_bf16",
          fmt::format("{}x{}", out_dim, in_dim),
          {{std::size_t{out_dim} * in_dim * 2, Fill::Bf16Small}},
          {{std::size_t{in_dim} * 4, Fill::F32Small}, {std::size_t{out_dim} * 4, Fill::Zero}},
          {W(0), O(0), O(1), C(out_dim), C(in_dim)},
          Size{ceil_div(out_dim, 8), 1, 1},
          Size{256, 1, 1}};
}

BenchCase int8(uint32_t out_dim, uint32_t in_dim) {
  return {"matvec_int8",
          fmt::format("{}x{}", out_dim, in_dim),
          {{std::size_t{out_dim} * in_dim, Fill::RandomBytes}, {std::size_t{out_dim} * 4, Fill::F32Small}},
          {{std::size_t{in_dim} * 4, Fill::F32Small}, {std::size_t{out_dim} * 4, Fill::Zero}},
          {W(0), W(1), O(0), O(1), C(out_dim), C(in_dim)},
          Size{ceil_div(out_dim, 8), 1, 1},
          Size{256, 1, 1}};
}

// The linear-attention kernels around the delta-net step (which
// attention_bench times): the depthwise convolution and the gated output norm.
BenchCase conv1d_step(uint32_t channels) {
  return {"conv1d_step",
          fmt::format("{}", channels),
          {{std::size_t{channels} * 3 * 4, Fill::F32Small}, {std::size_t{channels} * 4 * 2, Fill::Bf16Small}},
          {{std::size_t{channels} * 4, Fill::F32Small}, {std::size_t{channels} * 4, Fill::Zero}},
          {W(0), O(0), W(1), O(1), C(channels)},
          Size{ceil_div(channels, 256), 1, 1},
          Size{256, 1, 1}};
}

BenchCase gated_rms_norm(uint32_t heads, uint32_t dim) {
  const std::size_t vec = std::size_t{heads} * dim * 4;
  return {"gated_rms_norm",
          fmt::format("{}x{}", heads, dim),
          {{vec, Fill::F32Small}, {vec, Fill::F32Small}},
          {{std::size_t{dim} * 2, Fill::Bf16Small}, {vec, Fill::Zero}},
          {W(0), W(1), O(0), O(1), C(dim), C(0x358637BDu)},
          Size{heads, 1, 1},
          Size{dim, 1, 1}};
}

}  // namespace
}  // namespace varkel::bench

int main(int argc, char** argv) {
  using namespace varkel::bench;
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--cold-bytes") options.cold_bytes = std::stoull(argv[i + 1]);
    else if (flag == "--probe-bytes") options.probe_bytes = std::stoull(argv[i + 1]);
    else if (flag == "--seconds") options.seconds = std::stod(argv[i + 1]);
    else if (flag == "--only") options.only = argv[i + 1];
    else {
      fmt::print(stderr, "unknown option {}\n", flag);
      return 2;
    }
  }

  auto device = varkel::metal::Device::system_default();
  auto library = device->new_library_with_source(
      std::string(varkel::embedded_shader_source()), {});
  if (!library) {
    fmt::print(stderr, "shader library: {}\n", library.error());
    return 1;
  }

  fmt::print("device: {}; kernels and probe on {} threads\n", device->name(), varkel::metal::worker_count());
  BandwidthProbe probe(options.probe_bytes);
  const auto first = probe.measure(4);
  fmt::print("memory-read probe: {:.2f} GB/s over {:.2f} GB (checksum {})\n", first.bytes_per_second / 1e9,
             probe.bytes() / 1e9, first.checksum);

  std::vector<BenchCase> cases = {
      affine4_v3(8192, 2048),
      affine4_v3(2048, 4096),
      bf16(8192, 2048),
      int8(248320, 2048),
      // A routed expert's gate or up and its down projection (hot path of every layer).
      affine4_v3(512, 2048),
      affine4_v3(2048, 512),
      // The shared-expert gate: one row, so the time is the per-dispatch cost.
      bf16(1, 2048),
      conv1d_step(8192),
      gated_rms_norm(32, 128),
  };

  if (options.only.empty() || std::string("4-bit row loop").find(options.only) != std::string::npos) {
    // 24 rows: 27 KB of weights and 8 KB of x in the 48 KB L1; 512 rows: 0.6 MB; 8192 rows: 9.4 MB.
    // Rows of 512 columns (the expert down projection) pay the per-row work four times as often.
    (void)row_loop_bytes_per_second(24, 2048, 0.2);  // the core's clock settles into the wide-vector loop first
    fmt::print("4-bit row loop, one thread, 2048 columns:");
    for (const auto& [rows, where] : {std::pair{24u, "L1"}, {512u, "L2"}, {8192u, "beyond L2"}}) {
      fmt::print("  {} {:.2f} GB/s", where, row_loop_bytes_per_second(rows, 2048, options.seconds) / 1e9);
    }
    fmt::print("; 512 columns: L1 {:.2f} GB/s\n", row_loop_bytes_per_second(96, 512, options.seconds) / 1e9);
    const double alone = row_loop_bytes_per_second(512, 2048, options.seconds);
    const uint32_t threads = worker_count();
    std::vector<double> rates(threads);
    {
      std::vector<std::jthread> loops;
      for (uint32_t t = 0; t < threads; ++t) {
        loops.emplace_back([&rates, t, &options] { rates[t] = row_loop_bytes_per_second(512, 2048, options.seconds); });
      }
    }
    const double together = std::accumulate(rates.begin(), rates.end(), 0.0);
    fmt::print("4-bit row loop on {} threads at once, L2 each: {:.2f} GB/s in all, {:.2f} of {} times one thread alone "
               "({:.2f} GB/s; slowest thread {:.2f})\n",
               threads, together / 1e9, together / (threads * alone), threads, alone / 1e9,
               *std::min_element(rates.begin(), rates.end()) / 1e9);
  }

  Runner runner(device, *library, options);
  for (const auto& c : cases) {
    if (!options.only.empty() && (c.kernel + " " + c.shape).find(options.only) == std::string::npos) continue;
    runner.run(c, probe);
  }
  return 0;
}
