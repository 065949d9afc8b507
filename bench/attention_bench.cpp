// Bytes per second of the two recurrent hot spots of a token, next to the
// machine's memory-read bandwidth measured in the same run:
//   - full attention over 4096 cached positions (16 query heads, 2 key/value
//     heads): the single-pass kernel and the blocked pair, counting the key
//     and value cache rows read (16 MiB per layer);
//   - the gated delta-net step over 32 × 128 × 128 floats of state, counting
//     the state read and written (4 MiB per layer).
// Each dispatch goes through the compute layer (command buffer, checks, run).
// "hot" repeats one layer's buffers, which may stay in the caches; "cold"
// rotates over enough layers' buffers to cover --cold-bytes.
//
// Usage: attention_bench [--cold-bytes N] [--seconds S] [--probe-bytes N] [--positions P]

#include <fmt/format.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bandwidth_probe.h"
#include "engine/qwen35_moe/embedded_shader.h"
#include "metal/kernels/worker_pool.h"
#include "metal/metal.h"

namespace varkel::bench {
namespace {

using namespace varkel::metal;

struct Options {
  std::size_t cold_bytes = std::size_t{512} << 20;
  std::size_t probe_bytes = std::size_t{1} << 30;
  double seconds = 1.0;
  uint32_t positions = 4096;
};

class Bench {
 public:
  Bench(DevicePtr device, LibraryPtr library, Options options)
      : device_(std::move(device)), queue_(device_->new_command_queue()), library_(std::move(library)),
        options_(options) {}

  BufferPtr buffer(std::size_t floats, float lo, float hi, uint32_t seed) {
    auto b = device_->new_buffer(floats * sizeof(float));
    if (!b) throw std::runtime_error(b.error());
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    auto* p = static_cast<float*>((*b)->contents());
    for (std::size_t i = 0; i < floats; ++i) p[i] = dist(rng);
    return *b;
  }

  ComputePipelineStatePtr pipeline(std::string_view name) {
    auto f = library_->new_function(name);
    if (!f) throw std::runtime_error(f.error());
    return *device_->new_compute_pipeline_state(*f);
  }

  // Seconds per call of `encode` (which records one layer's dispatches) for
  // layers 0 .. layers − 1 in rotation.
  double time_per_layer(std::size_t layers, const std::function<void(ComputeCommandEncoder&, std::size_t)>& encode) {
    auto once = [&](std::size_t layer) {
      auto cmd = queue_->command_buffer();
      auto enc = cmd->compute_command_encoder();
      encode(*enc, layer);
      enc->end_encoding();
      cmd->commit();
      if (cmd->status() != CommandBufferStatus::Completed) throw std::runtime_error(cmd->error());
    };
    for (std::size_t l = 0; l < layers; ++l) once(l);
    std::size_t calls = 0;
    const auto t0 = std::chrono::steady_clock::now();
    double elapsed = 0;
    while (elapsed < options_.seconds || calls < 10) {
      once(calls % layers);
      ++calls;
      elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    return elapsed / static_cast<double>(calls);
  }

  void report(std::string_view what, double bytes, double hot, double cold, double probe) {
    fmt::print("{:<34} {:>7.2f} MB  hot {:>8.1f} us {:>7.2f} GB/s   cold {:>8.1f} us {:>7.2f} GB/s   cold/probe {:.2f}\n",
               what, bytes / 1e6, hot * 1e6, bytes / hot / 1e9, cold * 1e6, bytes / cold / 1e9, bytes / cold / probe);
  }

  void attention(double probe) {
    constexpr uint32_t kHeads = 16, kRowFloats = 512;
    const uint32_t seq_len = options_.positions;
    const std::size_t cache_floats = std::size_t{4096} * kRowFloats;
    const double bytes = 2.0 * seq_len * kRowFloats * sizeof(float);
    const std::size_t layers = std::max<std::size_t>(1, options_.cold_bytes / (2 * cache_floats * sizeof(float)));
    std::vector<BufferPtr> k_caches, v_caches;
    for (std::size_t l = 0; l < layers; ++l) {
      k_caches.push_back(buffer(cache_floats, -1, 1, 10 + l));
      v_caches.push_back(buffer(cache_floats, -1, 1, 500 + l));
    }
    auto q = buffer(kHeads * 256, -1, 1, 1), out = buffer(kHeads * 256, 0, 0, 2);
    const uint32_t num_blocks = (seq_len - 1 + 32) / 32;
    auto partials = buffer(std::size_t{num_blocks} * kHeads * 258, 0, 0, 3);
    const float scale = 0.0625f;

    // Both attention kernels take Q, K_cache, V_cache, their output and seq_len at 0 .. 4.
    auto bind_attention = [&](ComputeCommandEncoder& enc, std::size_t l, const BufferPtr& result) {
      enc.set_buffer(q, 0, 0);
      enc.set_buffer(k_caches[l], 0, 1);
      enc.set_buffer(v_caches[l], 0, 2);
      enc.set_buffer(result, 0, 3);
      enc.set_bytes(&seq_len, 4, 4);
    };
    auto fused = pipeline("attn_sdpa_fused");
    auto encode_fused = [&](ComputeCommandEncoder& enc, std::size_t l) {
      enc.set_compute_pipeline_state(fused);
      bind_attention(enc, l, out);
      enc.set_bytes(&scale, 4, 5);
      enc.dispatch_threadgroups(Size{kHeads, 1, 1}, Size{256, 1, 1});
    };
    report(fmt::format("attn_sdpa_fused seq {}", seq_len), bytes, time_per_layer(1, encode_fused),
           time_per_layer(layers, encode_fused), probe);

    auto block = pipeline("attn_sdpa_block"), reduce = pipeline("attn_sdpa_reduce");
    auto encode_blocked = [&](ComputeCommandEncoder& enc, std::size_t l) {
      enc.set_compute_pipeline_state(block);
      bind_attention(enc, l, partials);
      enc.set_bytes(&num_blocks, 4, 5);
      enc.set_bytes(&scale, 4, 6);
      enc.dispatch_threadgroups(Size{kHeads, num_blocks, 1}, Size{256, 1, 1});
      enc.set_compute_pipeline_state(reduce);
      enc.set_buffer(partials, 0, 0);
      enc.set_buffer(out, 0, 1);
      enc.set_bytes(&num_blocks, 4, 2);
      enc.dispatch_threadgroups(Size{kHeads, 1, 1}, Size{256, 1, 1});
    };
    report(fmt::format("attn_sdpa_block+reduce seq {}", seq_len), bytes, time_per_layer(1, encode_blocked),
           time_per_layer(layers, encode_blocked), probe);
  }

  void delta_net(double probe) {
    constexpr uint32_t kValueHeads = 32, kDim = 128;
    const std::size_t state_floats = std::size_t{kValueHeads} * kDim * kDim;
    const double bytes = 2.0 * state_floats * sizeof(float);  // read and written
    const std::size_t layers = std::max<std::size_t>(1, options_.cold_bytes / (state_floats * sizeof(float)));
    std::vector<BufferPtr> states;
    for (std::size_t l = 0; l < layers; ++l) states.push_back(buffer(state_floats, -1, 1, 1000 + l));
    // q and k at the scale the q/k norm leaves them; a stable decay and write strength.
    auto q = buffer(16 * kDim, -0.01f, 0.01f, 4), k = buffer(16 * kDim, -0.1f, 0.1f, 5),
         v = buffer(kValueHeads * kDim, -1, 1, 6), g = buffer(kValueHeads, 0.9f, 1.0f, 7),
         beta = buffer(kValueHeads, 0.1f, 0.5f, 8), out = buffer(kValueHeads * kDim, 0, 0, 9);
    const uint32_t per_key = 2;
    auto step = pipeline("gated_delta_net_step");
    auto encode = [&](ComputeCommandEncoder& enc, std::size_t l) {
      enc.set_compute_pipeline_state(step);
      enc.set_buffer(states[l], 0, 0);
      enc.set_buffer(q, 0, 1);
      enc.set_buffer(k, 0, 2);
      enc.set_buffer(v, 0, 3);
      enc.set_buffer(g, 0, 4);
      enc.set_buffer(beta, 0, 5);
      enc.set_buffer(out, 0, 6);
      enc.set_bytes(&per_key, 4, 7);
      enc.dispatch_threadgroups(Size{kValueHeads, 1, 1}, Size{kDim, 1, 1});
    };
    report("gated_delta_net_step 32x128x128", bytes, time_per_layer(1, encode), time_per_layer(layers, encode),
           probe);
  }

 private:
  DevicePtr device_;
  CommandQueuePtr queue_;
  LibraryPtr library_;
  Options options_;
};

}  // namespace
}  // namespace varkel::bench

int main(int argc, char** argv) {
  using namespace varkel::bench;
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--cold-bytes") options.cold_bytes = std::stoull(argv[i + 1]);
    else if (flag == "--probe-bytes") options.probe_bytes = std::stoull(argv[i + 1]);
    else if (flag == "--seconds") options.seconds = std::stod(argv[i + 1]);
    else if (flag == "--positions") options.positions = static_cast<uint32_t>(std::stoul(argv[i + 1]));
    else {
      fmt::print(stderr, "unknown option {}\n", flag);
      return 2;
    }
  }
  if (options.positions < 1 || options.positions > 4096) {
    fmt::print(stderr, "--positions must be 1 .. 4096\n");
    return 2;
  }
  auto device = varkel::metal::Device::system_default();
  auto library = device->new_library_with_source(
      std::string(varkel::embedded_shader_source()), {});
  if (!library) {
    fmt::print(stderr, "shader library: {}\n", library.error());
    return 1;
  }
  fmt::print("device: {}, {} worker threads\n", device->name(), varkel::metal::worker_count());
  const auto probe = memory_read_probe(options.probe_bytes, 5);
  fmt::print("memory-read probe: {:.2f} GB/s over {:.2f} GB (checksum {})\n", probe.bytes_per_second / 1e9,
             options.probe_bytes / 1e9, probe.checksum);
  Bench bench(device, *library, options);
  try {
    bench.attention(probe.bytes_per_second);
    bench.delta_net(probe.bytes_per_second);
  } catch (const std::exception& e) {
    fmt::print(stderr, "attention_bench: {}\n", e.what());
    return 1;
  }
  return 0;
}
