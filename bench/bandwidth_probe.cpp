#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "bandwidth_probe.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"


#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bandwidth_probe.h"
#include "metal/kernels/worker_pool.h"

HWY_BEFORE_NAMESPACE();
namespace varkel::bench::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

float SumFloats(const float* HWY_RESTRICT p, size_t n) {
  const hn::ScalableTag<float> d;
  const size_t lanes = hn::Lanes(d);
  auto a0 = hn::Zero(d), a1 = hn::Zero(d), a2 = hn::Zero(d), a3 = hn::Zero(d);
  size_t i = 0;
  for (; i + 4 * lanes <= n; i += 4 * lanes) {
    a0 = hn::Add(a0, hn::LoadU(d, p + i));
    a1 = hn::Add(a1, hn::LoadU(d, p + i + lanes));
    a2 = hn::Add(a2, hn::LoadU(d, p + i + 2 * lanes));
    a3 = hn::Add(a3, hn::LoadU(d, p + i + 3 * lanes));
  }
  float s = hn::GetLane(hn::SumOfLanes(d, hn::Add(hn::Add(a0, a1), hn::Add(a2, a3))));
  for (; i < n; ++i) s += p[i];
  return s;
}

}  // namespace varkel::bench::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel::bench {

HWY_EXPORT(SumFloats);

namespace {

// fn(begin, end) over 1 MiB pieces of [0, floats), handed out to the worker
// pool's threads as they come free: a thread the OS runs late on a busy
// machine does not stretch the pass.
template <class Fn>
void run_pieces(std::size_t floats, Fn fn) {
  constexpr std::size_t kPiece = std::size_t{1} << 18;
  struct Context {
    Fn* fn;
    std::size_t floats;
  } context{&fn, floats};
  metal::run_chunks(
      static_cast<uint32_t>((floats + kPiece - 1) / kPiece),
      [](void* p, uint32_t piece) {
        const auto& c = *static_cast<const Context*>(p);
        const std::size_t begin = std::size_t{piece} * kPiece;
        (*c.fn)(begin, std::min(begin + kPiece, c.floats));
      },
      &context);
}

}  // namespace

BandwidthProbe::BandwidthProbe(std::size_t bytes)
    : data_(static_cast<float*>(std::aligned_alloc(64, (bytes / sizeof(float)) * sizeof(float) + 64))),
      floats_(bytes / sizeof(float)) {
  // Touch every page from the threads that will read it.
  run_pieces(floats_, [this](std::size_t begin, std::size_t end) { std::fill(data_ + begin, data_ + end, 1.0f); });
}

BandwidthProbe::~BandwidthProbe() { std::free(data_); }

ProbeResult BandwidthProbe::measure(int repeats) {
  double best = 0.0;
  float checksum = 0.0f;
  const std::size_t n = floats_;
  for (int r = 0; r < repeats; ++r) {
    std::atomic<float> total{0.0f};
    const auto t0 = std::chrono::steady_clock::now();
    run_pieces(n, [&](std::size_t begin, std::size_t end) {
      const float sum = HWY_DYNAMIC_DISPATCH(SumFloats)(data_ + begin, end - begin);
      for (float seen = total.load(); !total.compare_exchange_weak(seen, seen + sum);) {
      }
    });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    checksum += total.load();
    best = std::max(best, static_cast<double>(n * sizeof(float)) / seconds);
  }
  return {best, checksum};
}

ProbeResult memory_read_probe(std::size_t bytes, int repeats) {
  BandwidthProbe probe(bytes);
  probe.measure(1);  // warm-up
  return probe.measure(repeats);
}

}  // namespace varkel::bench
#endif
