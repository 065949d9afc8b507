// Residual-stream norms, SwiGLU, residual add, weighted sum and the
// mixture-of-experts combine. All small: single-threaded (SIMD) loops.

#include <algorithm>
#include <cmath>
#include <vector>

#include "metal/kernel_abi.h"
#include "metal/kernels/activation_loops.h"
#include "metal/kernels/residual_stream_loops.h"
#include "metal/kernels/attention_kernel_common.h"

namespace varkel::metal {
namespace {

using grid::Check;
using namespace params;

// Element-wise kernels guard with i < limit: threads past it do nothing.
uint64_t guarded(const DispatchArgs& args, uint64_t limit) { return std::min(grid::threads(args), limit); }

Check one_threadgroup(std::string_view kernel, const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kernel, args)) return c;
  if (args.grid.threadgroups[0] == 1) return std::nullopt;
  return grid::fail(kernel,
                    fmt::format("covers the vector in exactly one threadgroup, got {}", args.grid.threadgroups[0]));
}

// Sum of squares as one threadgroup of `threads` forms it: thread t adds the
// squares of x[t], x[t + threads], ... in order, each SIMD group of 32 adds its
// lanes' sums, and SIMD group 0 adds the groups' sums in group order. Threads
// from n on add nothing: their zero sums leave the sums of squares (never −0)
// as they are, so they are skipped.
float sum_of_squares(const float* x, uint32_t n, uint32_t threads) {
  const uint32_t live = std::min(threads, n);
  constexpr uint32_t kBlock = 1024;  // threads summed at a time: whole SIMD groups
  float own[kBlock];
  float total = 0.0f;
  for (uint32_t block = 0; block < live; block += kBlock) {
    const uint32_t count = std::min(kBlock, live - block);
    residual_stream_loops::thread_sums_of_squares(x, n, threads, block, count, own);
    for (uint32_t first = 0; first < count; first += 32) {
      float group = 0.0f;
      for (uint32_t t = first; t < std::min(count, first + 32); ++t) group += own[t];
      total += group;
    }
  }
  return total;
}

// ---- RMS norms ----

constexpr std::string_view kFusedNorm = "rms_norm_fused_bf16";

Check validate_rms_norm_fused_bf16(const DispatchArgs& args) {
  if (auto c = one_threadgroup(kFusedNorm, args)) return c;
  if (args.grid.threads_per_threadgroup[0] == 0) return std::nullopt;
  const uint32_t dim = args.u32(3);
  return grid::first({grid::floats(kFusedNorm, args, 0, dim), grid::halves(kFusedNorm, args, 1, dim),
                      grid::floats(kFusedNorm, args, 2, dim)});
}

void run_rms_norm_fused_bf16(const DispatchArgs& args) {
  if (args.grid.threads_per_threadgroup[0] == 0) return;
  const uint32_t dim = args.u32(3);
  const float* x = args.buffer<const float>(0);
  const uint16_t* w = args.buffer<const uint16_t>(1);
  float* out = args.buffer<float>(2);
  // Precise: a correctly rounded square root and division.
  const float total = sum_of_squares(x, dim, args.grid.threads_per_threadgroup[0]);
  const float inv = 1.0f / std::sqrt(total / static_cast<float>(dim) + args.f32(4));
  residual_stream_loops::scale_bf16(x, inv, w, out, dim);
}

constexpr std::string_view kSumSq = "rms_norm_sum_sq";

Check validate_rms_norm_sum_sq(const DispatchArgs& args) {
  if (auto c = one_threadgroup(kSumSq, args)) return c;
  if (args.grid.threads_per_threadgroup[0] == 0) return std::nullopt;
  return grid::first({grid::floats(kSumSq, args, 0, args.u32(2)), grid::floats(kSumSq, args, 1, 1)});
}

void run_rms_norm_sum_sq(const DispatchArgs& args) {
  if (args.grid.threads_per_threadgroup[0] == 0) return;
  args.buffer<float>(1)[0] =
      sum_of_squares(args.buffer<const float>(0), args.u32(2), args.grid.threads_per_threadgroup[0]);
}

template <class Weight>
Check validate_rms_norm_apply(std::string_view kernel, const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kernel, args)) return c;
  const uint64_t n = guarded(args, args.u32(4));
  if (n == 0) return std::nullopt;
  return grid::first({grid::floats(kernel, args, 0, n), grid::elements<Weight>(kernel, args, 1, n),
                      grid::floats(kernel, args, 2, 1), grid::floats(kernel, args, 3, n)});
}

float widen(float w) { return w; }
float widen(uint16_t w) { return bf16_to_f32(w); }

template <class Weight>
void run_rms_norm_apply(const DispatchArgs& args) {
  const uint32_t dim = args.u32(4);
  const uint64_t n = guarded(args, dim);
  const float* x = args.buffer<const float>(0);
  const Weight* w = args.buffer<const Weight>(1);
  float* out = args.buffer<float>(3);
  if (n == 0) return;
  const float inv = 1.0f / std::sqrt(args.buffer<const float>(2)[0] / static_cast<float>(dim) + args.f32(5));
  for (uint64_t i = 0; i < n; ++i) out[i] = x[i] * inv * widen(w[i]);
}

constexpr std::string_view kApply = "rms_norm_apply";
constexpr std::string_view kApplyBf16 = "rms_norm_apply_bf16";

// ---- SwiGLU ----

constexpr std::string_view kSwiglu = "swiglu_fused";
constexpr std::string_view kSwigluVec4 = "swiglu_fused_vec4";
constexpr std::string_view kSwigluBatched = "swiglu_fused_batched";

uint64_t swiglu_count(std::string_view kernel, const DispatchArgs& args) {
  if (kernel == kSwigluVec4) return 4 * guarded(args, args.u32(3) / 4);
  if (kernel == kSwigluBatched) return guarded(args, uint64_t{args.u32(3)} * args.u32(4));
  return guarded(args, args.u32(3));
}

template <const std::string_view& kernel>
Check validate_swiglu(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kernel, args)) return c;
  const uint64_t n = swiglu_count(kernel, args);
  return grid::first(
      {grid::floats(kernel, args, 0, n), grid::floats(kernel, args, 1, n), grid::floats(kernel, args, 2, n)});
}

template <const std::string_view& kernel>
void run_swiglu(const DispatchArgs& args) {
  const uint64_t n = swiglu_count(kernel, args);
  const float* gate = args.buffer<const float>(0);
  const float* up = args.buffer<const float>(1);
  float* out = args.buffer<float>(2);
  activation_loops::silu_times(gate, up, out, n);
}

// ---- residual add, weighted sum ----

constexpr std::string_view kResidual = "residual_add";

Check validate_residual_add(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kResidual, args)) return c;
  const uint64_t n = guarded(args, args.u32(3));
  return grid::first(
      {grid::floats(kResidual, args, 0, n), grid::floats(kResidual, args, 1, n), grid::floats(kResidual, args, 2, n)});
}

void run_residual_add(const DispatchArgs& args) {
  const uint64_t n = guarded(args, args.u32(3));
  const float* a = args.buffer<const float>(0);
  const float* b = args.buffer<const float>(1);
  float* out = args.buffer<float>(2);
  for (uint64_t i = 0; i < n; ++i) out[i] = a[i] + b[i];
}

constexpr std::string_view kWeighted = "weighted_sum";

Check validate_weighted_sum(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kWeighted, args)) return c;
  const uint32_t k = args.u32(3), dim = args.u32(4);
  const uint64_t n = guarded(args, dim);
  if (auto c = grid::floats(kWeighted, args, 2, n)) return c;
  if (n == 0 || k == 0) return std::nullopt;
  return grid::first(
      {grid::floats(kWeighted, args, 0, uint64_t{k - 1} * dim + n), grid::floats(kWeighted, args, 1, k)});
}

void run_weighted_sum(const DispatchArgs& args) {
  const uint32_t k = args.u32(3), dim = args.u32(4);
  const uint64_t n = guarded(args, dim);
  const float* experts = args.buffer<const float>(0);
  const float* weights = args.buffer<const float>(1);
  float* out = args.buffer<float>(2);
  for (uint64_t i = 0; i < n; ++i) {
    float sum = 0.0f;
    for (uint32_t e = 0; e < k; ++e) sum += weights[e] * experts[size_t{e} * dim + i];
    out[i] = sum;
  }
}

// ---- mixture-of-experts combine ----

constexpr std::string_view kCombine = "moe_combine_residual";
constexpr uint32_t kSlots = 8;
constexpr uint32_t kFirstExpert = 3, kParams = 11;
constexpr uint32_t kSharedGate = 8;  // params[8]: the raw shared-expert gate score

Check validate_moe_combine_residual(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kCombine, args)) return c;
  const uint64_t n = guarded(args, args.u32(12));
  if (n == 0) return std::nullopt;
  // Slots at and above K are never read, so they may be bound to anything.
  const uint32_t used = std::min(args.u32(13), kSlots);
  for (uint32_t s = 0; s < used; ++s) {
    if (auto c = grid::floats(kCombine, args, kFirstExpert + s, n)) return c;
  }
  return grid::first({grid::floats(kCombine, args, 0, n), grid::floats(kCombine, args, 1, n),
                      grid::floats(kCombine, args, 2, n), grid::floats(kCombine, args, kParams, kSharedGate + 1)});
}

void run_moe_combine_residual(const DispatchArgs& args) {
  const uint64_t n = guarded(args, args.u32(12));
  if (n == 0) return;
  const uint32_t used = std::min(args.u32(13), kSlots);
  const float* h_mid = args.buffer<const float>(0);
  const float* shared = args.buffer<const float>(1);
  float* hidden = args.buffer<float>(2);
  const float* params = args.buffer<const float>(kParams);
  const float sg = sigmoid(params[kSharedGate]);
  const float* experts[kSlots] = {};
  for (uint32_t s = 0; s < used; ++s) experts[s] = args.buffer<const float>(kFirstExpert + s);
  residual_stream_loops::moe_combine(h_mid, shared, sg, experts, params, used, hidden, n);
}

}  // namespace

void append_norm_and_combine_kernels(std::vector<KernelImpl>& out) {
  const auto half = ElementType::Ushort;
  out.push_back({kFusedNorm,
                 {buf("x", 0), buf("weight", 1, half), rw("out", 2), u32("dim", 3), f32("eps", 4)},
                 validate_rms_norm_fused_bf16,
                 run_rms_norm_fused_bf16});
  out.push_back({kSumSq, {buf("x", 0), rw("sum_sq", 1), u32("dim", 2)}, validate_rms_norm_sum_sq, run_rms_norm_sum_sq});
  out.push_back({kApply,
                 {buf("x", 0), buf("weight", 1), buf("sum_sq", 2), rw("out", 3), u32("dim", 4), f32("eps", 5)},
                 [](const DispatchArgs& a) { return validate_rms_norm_apply<float>(kApply, a); },
                 run_rms_norm_apply<float>});
  out.push_back({kApplyBf16,
                 {buf("x", 0), buf("weight", 1, half), buf("sum_sq", 2), rw("out", 3), u32("dim", 4), f32("eps", 5)},
                 [](const DispatchArgs& a) { return validate_rms_norm_apply<uint16_t>(kApplyBf16, a); },
                 run_rms_norm_apply<uint16_t>});
  out.push_back({kSwiglu,
                 {buf("gate", 0), buf("up", 1), rw("out", 2), u32("dim", 3)},
                 validate_swiglu<kSwiglu>,
                 run_swiglu<kSwiglu>});
  out.push_back({kSwigluVec4,
                 {buf("gate", 0), buf("up", 1), rw("out", 2), u32("dim", 3)},
                 validate_swiglu<kSwigluVec4>,
                 run_swiglu<kSwigluVec4>});
  out.push_back({kSwigluBatched,
                 {buf("gate", 0), buf("up", 1), rw("out", 2), u32("dim", 3), u32("K", 4)},
                 validate_swiglu<kSwigluBatched>,
                 run_swiglu<kSwigluBatched>});
  out.push_back(
      {kResidual, {buf("a", 0), buf("b", 1), rw("out", 2), u32("dim", 3)}, validate_residual_add, run_residual_add});
  out.push_back({kWeighted,
                 {buf("expert_outs", 0), buf("weights", 1), rw("out", 2), u32("K", 3), u32("dim", 4)},
                 validate_weighted_sum,
                 run_weighted_sum});
  std::vector<KernelParam> combine = {buf("h_mid", 0), buf("shared_out", 1), rw("hidden_out", 2)};
  static constexpr std::string_view kExpertNames[kSlots] = {"expert_out0", "expert_out1", "expert_out2", "expert_out3",
                                                            "expert_out4", "expert_out5", "expert_out6", "expert_out7"};
  for (uint32_t s = 0; s < kSlots; ++s) combine.push_back(buf(kExpertNames[s], kFirstExpert + s));
  combine.insert(combine.end(), {buf("params", kParams), u32("dim", 12), u32("K", 13)});
  out.push_back({kCombine, std::move(combine), validate_moe_combine_residual, run_moe_combine_residual});
}

}  // namespace varkel::metal
