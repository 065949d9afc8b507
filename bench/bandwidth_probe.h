#pragma once
// Memory-read bandwidth of this machine: a vectorised sum over a buffer much
// larger than the caches, on all worker threads.

#include <cstddef>

namespace varkel::bench {

struct ProbeResult {
  double bytes_per_second;
  float checksum;  // keeps the sum alive
};

// A probe buffer kept between measurements, so that a benchmark on a busy
// machine can measure the bandwidth right next to each of its cases.
class BandwidthProbe {
 public:
  explicit BandwidthProbe(std::size_t bytes);  // rounded down to whole floats; pages touched by all threads
  ~BandwidthProbe();
  BandwidthProbe(const BandwidthProbe&) = delete;
  BandwidthProbe& operator=(const BandwidthProbe&) = delete;

  // The best of `repeats` passes over the whole buffer.
  ProbeResult measure(int repeats);
  std::size_t bytes() const { return floats_ * sizeof(float); }

 private:
  float* data_;
  std::size_t floats_;
};

// Reads `bytes` (rounded down to whole floats) `repeats` times after one warm-up
// pass; reports the best pass.
ProbeResult memory_read_probe(std::size_t bytes, int repeats);

}  // namespace varkel::bench
