#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "bandwidth_probe.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bandwidth_probe.h"

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

BandwidthProbe::BandwidthProbe(std::size_t bytes)
    : data_(static_cast<float*>(std::aligned_alloc(64, (bytes / sizeof(float)) * sizeof(float) + 64))),
      floats_(bytes / sizeof(float)) {
  // Touch every page from the threads that will read it.
#pragma omp parallel for schedule(static)
  for (std::size_t i = 0; i < floats_; ++i) data_[i] = 1.0f;
}

BandwidthProbe::~BandwidthProbe() { std::free(data_); }

ProbeResult BandwidthProbe::measure(int repeats) {
  double best = 0.0;
  float checksum = 0.0f;
  const std::size_t n = floats_;
  for (int r = 0; r < repeats; ++r) {
    float total = 0.0f;
    const auto t0 = std::chrono::steady_clock::now();
    // 1 MiB pieces handed out as threads come free: a thread the OS runs
    // late on a busy machine does not stretch the pass.
    const std::size_t piece = std::size_t{1} << 18;
    const std::size_t pieces = (n + piece - 1) / piece;
#pragma omp parallel for schedule(dynamic) reduction(+ : total)
    for (std::size_t p = 0; p < pieces; ++p) {
      const std::size_t begin = p * piece;
      total += HWY_DYNAMIC_DISPATCH(SumFloats)(data_ + begin, std::min(piece, n - begin));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    checksum += total;
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
