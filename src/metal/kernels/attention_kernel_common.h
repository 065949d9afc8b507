#pragma once
// Dispatch checks and element helpers shared by the attention,
// linear-attention, norm and combine kernels.

#include <fmt/format.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "metal/kernel_abi.h"
#include "metal/kernels/activations.h"
#include "metal/kernels/simd_group_sum.h"
#include "metal/kernels/worker_pool.h"
#include "parallel/parallel_for.h"

namespace varkel::metal::grid {

using Check = std::optional<std::string>;

inline uint64_t threadgroups(const DispatchArgs& args) {
  const auto& g = args.grid.threadgroups;
  return uint64_t{g[0]} * g[1] * g[2];
}

// Threads of a one-dimensional grid.
inline uint64_t threads(const DispatchArgs& args) {
  return uint64_t{args.grid.threadgroups[0]} * args.grid.threads_per_threadgroup[0];
}

// Kernels that index by one grid coordinate would repeat their writes in the
// other dimensions: those run their work concurrently on a GPU, so refuse them.
inline Check one_dimensional(std::string_view kernel, const DispatchArgs& args) {
  const auto& g = args.grid;
  if (g.threadgroups[1] == 1 && g.threadgroups[2] == 1 && g.threads_per_threadgroup[1] == 1 &&
      g.threads_per_threadgroup[2] == 1) {
    return std::nullopt;
  }
  return fmt::format("{}: grid must be one-dimensional, got ({}, {}, {}) x ({}, {}, {})", kernel, g.threadgroups[0],
                     g.threadgroups[1], g.threadgroups[2], g.threads_per_threadgroup[0], g.threads_per_threadgroup[1],
                     g.threads_per_threadgroup[2]);
}

inline Check threads_per_group(std::string_view kernel, const DispatchArgs& args, uint64_t expected) {
  const uint32_t got = args.grid.threads_per_threadgroup[0];
  if (got == expected) return std::nullopt;
  return fmt::format("{}: needs {} threads per threadgroup, got {}", kernel, expected, got);
}

// Threadgroups of 1 .. 1024 threads: the most a SIMD-group reduction
// through a 32-entry array covers.
inline Check threadgroup_size(std::string_view kernel, const DispatchArgs& args) {
  const uint32_t got = args.grid.threads_per_threadgroup[0];
  if (got >= 1 && got <= 1024) return std::nullopt;
  return fmt::format("{}: needs 1 to 1024 threads per threadgroup, got {}", kernel, got);
}

inline Check fail(std::string_view kernel, std::string_view what) { return fmt::format("{}: {}", kernel, what); }

// Buffer `index` holds at least `count` elements of T.
template <class T>
Check elements(std::string_view kernel, const DispatchArgs& args, uint32_t index, uint64_t count) {
  return require_bytes(kernel, args, index, count * sizeof(T));
}
inline Check floats(std::string_view kernel, const DispatchArgs& args, uint32_t index, uint64_t count) {
  return elements<float>(kernel, args, index, count);
}
inline Check halves(std::string_view kernel, const DispatchArgs& args, uint32_t index, uint64_t count) {
  return elements<uint16_t>(kernel, args, index, count);
}

inline Check first(std::initializer_list<Check> checks) {
  for (const auto& c : checks) {
    if (c) return c;
  }
  return std::nullopt;
}

}  // namespace varkel::metal::grid

namespace varkel::metal {

// bf16 weights widen by a 16-bit shift; nothing in these kernels rounds to bf16.
inline float bf16_to_f32(uint16_t bits) { return std::bit_cast<float>(uint32_t{bits} << 16); }

// The sum over a threadgroup of `threads` threads' values: each SIMD group's
// sum goes to a 32-entry array, and SIMD group 0 sums the array's first
// ceil(threads / 32) entries. Missing lanes and entries contribute 0.
inline float threadgroup_sum(const float* values, uint32_t threads) {
  float groups[32] = {};
  for (uint32_t g = 0; g < 32 && g * 32 < threads; ++g) {
    float lanes[32] = {};
    std::copy(values + g * 32, values + std::min(threads, g * 32 + 32), lanes);
    groups[g] = simd_group_sum(lanes);
  }
  return simd_group_sum(groups);
}

// Whether the byte ranges [a, a + a_bytes) and [b, b + b_bytes) are apart.
inline bool disjoint(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) {
  const auto pa = reinterpret_cast<std::uintptr_t>(a), pb = reinterpret_cast<std::uintptr_t>(b);
  return pa + a_bytes <= pb || pb + b_bytes <= pa;
}

// The heads' reciprocal RMS: 1 / sqrt(sum / n + eps), the sum of squares
// from 0 in index order as thread 0 of a head's threadgroup forms it.
inline float inv_rms(const float* x, uint32_t n, float eps) {
  float sum = 0.0f;
  for (uint32_t i = 0; i < n; ++i) sum += x[i] * x[i];
  return 1.0f / std::sqrt(sum / static_cast<float>(n) + eps);
}

// Heads whose sums of squares run side by side as independent chains.
inline constexpr uint32_t kRmsChains = 8;

// inv_rms of `count` (1 .. kRmsChains) heads of n floats, `stride` floats apart.
inline void inv_rms_heads(const float* x, std::size_t stride, uint32_t count, uint32_t n, float eps, float* inv) {
  const float* head[kRmsChains];  // the missing ones repeat the last, unused
  for (uint32_t r = 0; r < kRmsChains; ++r) head[r] = x + std::min(r, count - 1) * stride;
  float sum[kRmsChains] = {};
  for (uint32_t i = 0; i < n; ++i) {
#pragma GCC unroll 8
    for (uint32_t r = 0; r < kRmsChains; ++r) sum[r] += head[r][i] * head[r][i];
  }
  for (uint32_t r = 0; r < count; ++r) inv[r] = 1.0f / std::sqrt(sum[r] / static_cast<float>(n) + eps);
}

// Calls fn(i) once for every i in [0, count): on the kernel worker threads
// when `parallel`, else in order on the calling thread.
template <class Fn>
void for_each_item(uint32_t count, bool parallel, Fn&& fn) {
  if (!parallel || count <= 1) {
    for (uint32_t i = 0; i < count; ++i) fn(i);
    return;
  }
  using F = std::remove_reference_t<Fn>;
  run_chunks(
      count, [](void* f, uint32_t i) { (*static_cast<F*>(f))(i); }, const_cast<void*>(static_cast<const void*>(&fn)));
}

// Calls fn(begin, end) on disjoint ranges covering [0, count) of an
// element-wise loop around exp_f32 (about a nanosecond an element): on the
// worker threads, a thousand elements or more a piece, once there are a few
// thousand, else in one piece on the calling thread.
template <class Fn>
void for_each_element_range(std::size_t count, Fn&& fn) {
  constexpr std::size_t kPerPiece = 1024;
  const std::size_t pieces = count >= 4 * kPerPiece ? std::min<std::size_t>(worker_count(), count / kPerPiece) : 1;
  parallel::for_each_range(count, pieces, std::forward<Fn>(fn));
}

// Parameter lists as the library source declares them.
namespace params {

constexpr KernelParam buf(std::string_view name, uint32_t index, ElementType type = ElementType::Float) {
  return {ParamKind::Buffer, type, false, name, index};
}
constexpr KernelParam rw(std::string_view name, uint32_t index) {
  return {ParamKind::Buffer, ElementType::Float, true, name, index};
}
constexpr KernelParam u32(std::string_view name, uint32_t index) {
  return {ParamKind::Constant, ElementType::Uint, false, name, index};
}
constexpr KernelParam f32(std::string_view name, uint32_t index) {
  return {ParamKind::Constant, ElementType::Float, false, name, index};
}

}  // namespace params

}  // namespace varkel::metal
