#pragma once
// Splits a dispatch's independent output rows across the worker threads when
// the work is big enough to pay for waking them; small dispatches stay on the
// calling thread.

#include <omp.h>

#include <algorithm>
#include <cstdint>

namespace varkel::metal {

// Bytes of weights one thread should stream at least before another one helps.
inline constexpr uint64_t kBytesPerWorker = 64 * 1024;

// Calls fn(begin, end) on disjoint ranges covering [0, rows), each at most
// once, possibly from several threads at once. `bytes_per_row` is the memory
// one row reads.
template <class Fn>
void parallel_rows(uint32_t rows, uint64_t bytes_per_row, Fn&& fn) {
  const uint64_t total = static_cast<uint64_t>(rows) * bytes_per_row;
  const uint64_t wanted = total / kBytesPerWorker;
  const int threads = static_cast<int>(std::min<uint64_t>({wanted, static_cast<uint64_t>(omp_get_max_threads()), rows}));
  if (threads <= 1) {
    if (rows > 0) fn(uint32_t{0}, rows);
    return;
  }
#pragma omp parallel num_threads(threads)
  {
    const uint64_t t = static_cast<uint64_t>(omp_get_thread_num());
    const uint64_t n = static_cast<uint64_t>(omp_get_num_threads());
    const auto begin = static_cast<uint32_t>(rows * t / n);
    const auto end = static_cast<uint32_t>(rows * (t + 1) / n);
    if (begin < end) fn(begin, end);
  }
}

}  // namespace varkel::metal
