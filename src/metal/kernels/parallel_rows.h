#pragma once
// How work made of independent rows is cut for the worker threads, and a
// loop that runs one dispatch's rows that way (the compute layer cuts the
// mat-vecs of a whole step with the same rule).

#include <algorithm>
#include <cstdint>

#include "metal/kernels/worker_pool.h"

namespace varkel::metal {

// Pieces: big enough to hide the cost of claiming one, small enough to
// balance a busy machine. Work of up to two pieces' worth stays on the
// calling thread; less than a few pieces per thread is cut finer, down to
// kMinBytesPerChunk, so that every thread gets a share; past kBytesPerChunk
// a piece grows up to kMaxBytesPerChunk, at least kManyChunksPerThread a
// thread, so that a lm head of half a gigabyte costs a couple of thousand
// claims of the shared counter, not eight thousand.
inline constexpr uint64_t kBytesPerChunk = 64 * 1024;
inline constexpr uint64_t kMinBytesPerChunk = 8 * 1024;
inline constexpr uint64_t kChunksPerThread = 4;
inline constexpr uint64_t kMaxBytesPerChunk = 256 * 1024;
inline constexpr uint64_t kManyChunksPerThread = 16;

// The bytes of one piece of work that reads `total` bytes; 0 when it stays
// on the calling thread.
inline uint64_t row_piece_bytes(uint64_t total) {
  if (total / kBytesPerChunk <= 1) return 0;
  const uint64_t threads = worker_count();
  const uint64_t balanced = total / (kChunksPerThread * threads);
  if (balanced <= kBytesPerChunk) return std::max(balanced, kMinBytesPerChunk);
  return std::clamp(total / (kManyChunksPerThread * threads), kBytesPerChunk, kMaxBytesPerChunk);
}

// Calls fn(begin, end) on disjoint ranges covering [0, rows), each once,
// possibly from several threads at once. `bytes_per_row` is the memory one
// row reads.
template <class Fn>
void parallel_rows(uint32_t rows, uint64_t bytes_per_row, Fn&& fn) {
  const uint64_t total = static_cast<uint64_t>(rows) * bytes_per_row;
  const uint64_t piece = row_piece_bytes(total);
  const auto chunks = piece == 0 ? uint32_t{1} : static_cast<uint32_t>(std::min<uint64_t>(rows, (total + piece - 1) / piece));
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
