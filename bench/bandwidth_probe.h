#pragma once
// Memory-read bandwidth of this machine: a vectorised sum over a buffer much
// larger than the caches, on all worker threads.

#include <cstddef>

namespace varkel::bench {

struct ProbeResult {
  double bytes_per_second;
  float checksum;  // keeps the sum alive
};

// Reads `bytes` (rounded down to whole floats) `repeats` times after one warm-up
// pass; reports the best pass.
ProbeResult memory_read_probe(std::size_t bytes, int repeats);

}  // namespace varkel::bench
