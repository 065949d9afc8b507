#pragma once
// Loops whose iterations are independent, run on the worker pool.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "parallel/worker_pool.h"

namespace varkel::parallel {

// Calls fn(begin, end) on `pieces` disjoint ranges of near-equal size covering
// [0, count) (at most count of them), which the calling thread and the
// workers claim one at a time (see run_chunks: also for a loop inside a
// chunk, and for exceptions). A single piece runs on the calling thread.
template <class Fn>
void for_each_range(std::size_t count, std::size_t pieces, Fn&& fn) {
  if (count == 0) return;
  pieces = std::clamp<std::size_t>(pieces, 1, std::min<std::size_t>(count, UINT32_MAX));
  if (pieces == 1) {
    fn(std::size_t{0}, count);
    return;
  }
  struct Context {
    std::remove_reference_t<Fn>* fn;
    std::size_t count;
    std::size_t pieces;
  } context{&fn, count, pieces};
  run_chunks(
      static_cast<uint32_t>(pieces),
      [](void* p, uint32_t piece) {
        const auto& c = *static_cast<const Context*>(p);
        // In 128 bits: count * piece may not fit in 64.
        const auto begin = static_cast<std::size_t>(static_cast<unsigned __int128>(c.count) * piece / c.pieces);
        const auto end = static_cast<std::size_t>(static_cast<unsigned __int128>(c.count) * (piece + 1) / c.pieces);
        (*c.fn)(begin, end);
      },
      &context);
}

// Pieces for many cheap iterations: a few per thread, so that the others take
// the share of a thread the OS runs late.
inline std::size_t balanced_pieces(std::size_t count) {
  return std::min<std::size_t>(count, std::size_t{4} * worker_count());
}

// Calls fn(i) once for every i in [0, count), each index claimed on its own:
// for few iterations of large or uneven cost.
template <class Fn>
void for_each_index(std::size_t count, Fn&& fn) {
  for_each_range(count, count, [&fn](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) fn(i);
  });
}

}  // namespace varkel::parallel
