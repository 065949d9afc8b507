#pragma once
// Splits a dispatch's independent output rows across the worker threads when
// the work is big enough to pay for waking them; small dispatches stay on the
// calling thread.

#include <algorithm>
#include <cstdint>

#include "metal/kernels/worker_pool.h"

namespace varkel::metal {

// Memory a chunk of rows reads: big enough to hide the cost of claiming it,
// small enough to balance a busy machine. Work of up to two chunks stays on
// the calling thread; smaller work than a few chunks per thread is cut finer,
// down to kMinBytesPerChunk, so that every thread gets a share.
inline constexpr uint64_t kBytesPerChunk = 64 * 1024;
inline constexpr uint64_t kMinBytesPerChunk = 8 * 1024;
inline constexpr uint64_t kChunksPerThread = 4;

// Calls fn(begin, end) on disjoint ranges covering [0, rows), each once,
// possibly from several threads at once. `bytes_per_row` is the memory one
// row reads.
template <class Fn>
void parallel_rows(uint32_t rows, uint64_t bytes_per_row, Fn&& fn) {
  const uint64_t total = static_cast<uint64_t>(rows) * bytes_per_row;
  const uint64_t coarse = total / kBytesPerChunk;
  const uint64_t balanced = std::min<uint64_t>(total / kMinBytesPerChunk, kChunksPerThread * worker_count());
  const auto chunks = static_cast<uint32_t>(coarse <= 1 ? coarse : std::min<uint64_t>(rows, std::max(coarse, balanced)));
  if (chunks <= 1) {
    if (rows > 0) fn(uint32_t{0}, rows);
    return;
  }
  struct Context {
    Fn* fn;
    uint64_t rows;
    uint64_t chunks;
  } context{&fn, rows, chunks};
  run_chunks(
      chunks,
      [](void* p, uint32_t chunk) {
        const auto& c = *static_cast<const Context*>(p);
        const auto begin = static_cast<uint32_t>(c.rows * chunk / c.chunks);
        const auto end = static_cast<uint32_t>(c.rows * (chunk + 1) / c.chunks);
        (*c.fn)(begin, end);
      },
      &context);
}

}  // namespace varkel::metal
