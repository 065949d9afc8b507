// Linear-attention kernels: the depthwise convolution step, per-head q/k norm,
// decay and write strength, the gated delta-net step and the gated output norm.

#include <algorithm>
#include <vector>

#include "math_util/log_f32.h"
#include "metal/kernel_abi.h"
#include "metal/kernels/activation_loops.h"
#include "metal/kernels/attention_kernel_common.h"
#include "metal/kernels/linear_attention_delta_net.h"

namespace varkel::metal {
namespace {

using grid::Check;
using namespace params;

// ---- depthwise convolution step ----

constexpr std::string_view kConv = "conv1d_step";
constexpr uint32_t kTaps = 4;

uint64_t conv_count(const DispatchArgs& args) { return std::min<uint64_t>(grid::threads(args), args.u32(4)); }

Check validate_conv1d_step(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kConv, args)) return c;
  const uint64_t n = conv_count(args);
  if (n == 0) return std::nullopt;
  return grid::first({grid::floats(kConv, args, 0, 2 * uint64_t{args.u32(4)} + n), grid::floats(kConv, args, 1, n),
                      grid::halves(kConv, args, 2, kTaps * n), grid::floats(kConv, args, 3, n)});
}

void run_conv1d_step(const DispatchArgs& args) {
  const uint64_t n = conv_count(args);
  const size_t dim = args.u32(4);
  float* s0 = args.buffer<float>(0);
  for_each_element_range(n, [&](size_t begin, size_t end) {
    activation_loops::conv1d_step(s0, s0 + dim, s0 + 2 * dim, args.buffer<const float>(1),
                                  args.buffer<const uint16_t>(2), args.buffer<float>(3), begin, end);
  });
}

// ---- per-head q/k norm ----

constexpr std::string_view kQkNorm = "rms_norm_qk";
constexpr uint32_t kMaxHeadDim = 128;  // the norms' threadgroup arrays

Check check_head_threads(std::string_view kernel, const DispatchArgs& args, uint32_t dim) {
  if (auto c = grid::one_dimensional(kernel, args)) return c;
  if (dim == 0 || dim > kMaxHeadDim) {
    return grid::fail(kernel, fmt::format("head size {} outside 1..{}", dim, kMaxHeadDim));
  }
  return grid::threads_per_group(kernel, args, dim);
}

Check validate_rms_norm_qk(const DispatchArgs& args) {
  const uint32_t key_dim = args.u32(2);
  if (auto c = check_head_threads(kQkNorm, args, key_dim)) return c;
  const uint64_t n = uint64_t{args.grid.threadgroups[0]} * key_dim;
  return grid::first({grid::floats(kQkNorm, args, 0, n), grid::floats(kQkNorm, args, 1, n)});
}

void run_rms_norm_qk(const DispatchArgs& args) {
  const uint32_t key_dim = args.u32(2);
  const float inv_scale = args.f32(3);
  constexpr float kEps = 1e-6f;
  for (size_t h = 0; h < args.grid.threadgroups[0]; ++h) {
    float* q = args.buffer<float>(0) + h * key_dim;
    const float inv_q = inv_rms(q, key_dim, kEps);
    for (uint32_t t = 0; t < key_dim; ++t) q[t] = q[t] * inv_q * inv_scale * inv_scale;
    float* k = args.buffer<float>(1) + h * key_dim;
    const float inv_k = inv_rms(k, key_dim, kEps);
    for (uint32_t t = 0; t < key_dim; ++t) k[t] = k[t] * inv_k * inv_scale;
  }
}

// ---- decay and write strength ----

constexpr std::string_view kDecay = "compute_decay_beta";

Check validate_compute_decay_beta(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kDecay, args)) return c;
  // No bound check in the kernel: every thread reads and writes its head.
  const uint64_t n = grid::threads(args);
  return grid::first({grid::floats(kDecay, args, 0, n), grid::floats(kDecay, args, 1, n),
                      grid::floats(kDecay, args, 2, n), grid::halves(kDecay, args, 3, n),
                      grid::floats(kDecay, args, 4, n), grid::floats(kDecay, args, 5, n)});
}

void run_compute_decay_beta(const DispatchArgs& args) {
  const float* alpha = args.buffer<const float>(0);
  const float* beta = args.buffer<const float>(1);
  const float* a_log = args.buffer<const float>(2);
  const uint16_t* dt_bias = args.buffer<const uint16_t>(3);
  float* g_decay = args.buffer<float>(4);
  float* beta_gate = args.buffer<float>(5);
  const uint64_t n = grid::threads(args);
  for (uint64_t h = 0; h < n; ++h) {
    const float a = exp_f32(a_log[h]);
    // Our own correctly rounded log: the C library's logf misrounds some
    // inputs and differs between C libraries, and the decay scales the whole
    // recurrent state.
    const float sp = log_f32(1.0f + exp_f32(alpha[h] + bf16_to_f32(dt_bias[h])));
    const float b = beta[h];
    g_decay[h] = exp_f32(-a * sp);
    beta_gate[h] = sigmoid(b);
  }
}

// ---- gated delta-net step ----

constexpr std::string_view kDeltaNet = "gated_delta_net_step";
constexpr uint64_t kStateFloats = uint64_t{delta_net::kDim} * delta_net::kDim;

Check validate_gated_delta_net_step(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kDeltaNet, args)) return c;
  const uint64_t heads = args.grid.threadgroups[0];
  const uint32_t rows = args.grid.threads_per_threadgroup[0];
  const uint32_t per_key = args.u32(7);
  // A thread past row 127 would step the next head's first rows.
  if (rows > delta_net::kDim) {
    return grid::fail(kDeltaNet, fmt::format("at most {} threads per threadgroup, got {}", delta_net::kDim, rows));
  }
  if (per_key == 0) return grid::fail(kDeltaNet, "k_heads_per_v must be non-zero");
  if (heads == 0 || rows == 0) return std::nullopt;
  const uint64_t rows_end = (heads - 1) * delta_net::kDim + rows;
  const uint64_t keys = ((heads - 1) / per_key + 1) * delta_net::kDim;
  return grid::first({grid::floats(kDeltaNet, args, 0, rows_end * delta_net::kDim),
                      grid::floats(kDeltaNet, args, 1, keys), grid::floats(kDeltaNet, args, 2, keys),
                      grid::floats(kDeltaNet, args, 3, rows_end), grid::floats(kDeltaNet, args, 4, heads),
                      grid::floats(kDeltaNet, args, 5, heads), grid::floats(kDeltaNet, args, 6, rows_end)});
}

void run_gated_delta_net_step(const DispatchArgs& args) {
  const uint32_t heads = args.grid.threadgroups[0];
  const uint32_t rows = args.grid.threads_per_threadgroup[0];
  const uint32_t per_key = args.u32(7);
  float* state = args.buffer<float>(0);
  const float* q = args.buffer<const float>(1);
  const float* k = args.buffer<const float>(2);
  const float* v = args.buffer<const float>(3);
  const float* g = args.buffer<const float>(4);
  const float* beta = args.buffer<const float>(5);
  float* output = args.buffer<float>(6);
  // A head's state is 64 KiB: worth a worker once there are a few.
  for_each_item(heads, uint64_t{heads} * rows >= 1024, [&](uint32_t h) {
    const size_t key = size_t{h / per_key} * delta_net::kDim;
    const size_t row0 = size_t{h} * delta_net::kDim;
    delta_net::step_head(state + h * kStateFloats, q + key, k + key, v + row0, g[h], beta[h], rows, output + row0);
  });
}

// ---- gated output norm ----

constexpr std::string_view kGatedNorm = "gated_rms_norm";

Check validate_gated_rms_norm(const DispatchArgs& args) {
  const uint32_t dim = args.u32(4);
  if (auto c = check_head_threads(kGatedNorm, args, dim)) return c;
  const uint64_t n = uint64_t{args.grid.threadgroups[0]} * dim;
  return grid::first({grid::floats(kGatedNorm, args, 0, n), grid::floats(kGatedNorm, args, 1, n),
                      grid::halves(kGatedNorm, args, 2, dim), grid::floats(kGatedNorm, args, 3, n)});
}

void run_gated_rms_norm(const DispatchArgs& args) {
  const uint32_t dim = args.u32(4);
  const uint32_t heads = args.grid.threadgroups[0];
  const float eps = args.f32(5);
  const float* values = args.buffer<const float>(0);
  const float* z = args.buffer<const float>(1);
  const uint16_t* w = args.buffer<const uint16_t>(2);
  float* out = args.buffer<float>(3);
  // Each head's values are read before its output is written. When no
  // output lands on another head's values, groups of heads are independent:
  // each is read at once, and the groups share the workers.
  const size_t bytes = size_t{heads} * dim * sizeof(float);
  const bool independent = values == out || disjoint(values, bytes, out, bytes);
  const uint32_t group = independent ? kRmsChains : 1;
  const uint32_t groups = (heads + group - 1) / group;
  for_each_item(groups, independent && groups >= 4, [&](uint32_t g) {
    const uint32_t h0 = g * group;
    const uint32_t count = std::min(group, heads - h0);
    float scratch[kRmsChains * kMaxHeadDim];
    float inv[kRmsChains];
    std::copy_n(values + size_t{h0} * dim, size_t{count} * dim, scratch);
    inv_rms_heads(scratch, dim, count, dim, eps, inv);
    for (uint32_t i = 0; i < count; ++i) {
      const size_t h = h0 + i;
      activation_loops::scaled_silu_gate(scratch + i * dim, inv[i], z + h * dim, w, out + h * dim, dim);
    }
  });
}

}  // namespace

void append_linear_attention_kernels(std::vector<KernelImpl>& out) {
  const auto half = ElementType::Ushort;
  out.push_back({kConv,
                 {rw("conv_state", 0), buf("input", 1), buf("weights", 2, half), rw("output", 3), u32("conv_dim", 4)},
                 validate_conv1d_step,
                 run_conv1d_step});
  out.push_back({kQkNorm,
                 {rw("q", 0), rw("k", 1), u32("key_dim", 2), f32("inv_scale", 3)},
                 validate_rms_norm_qk,
                 run_rms_norm_qk});
  out.push_back({kDecay,
                 {buf("alpha_out", 0), buf("beta_out", 1), buf("A_log", 2), buf("dt_bias", 3, half), rw("g_decay", 4),
                  rw("beta_gate", 5)},
                 validate_compute_decay_beta,
                 run_compute_decay_beta});
  out.push_back({kDeltaNet,
                 {rw("state", 0), buf("q", 1), buf("k", 2), buf("v", 3), buf("g_decay", 4), buf("beta_gate", 5),
                  rw("output", 6), u32("k_heads_per_v", 7)},
                 validate_gated_delta_net_step,
                 run_gated_delta_net_step});
  out.push_back(
      {kGatedNorm,
       {buf("values", 0), buf("z", 1), buf("weight", 2, half), rw("output", 3), u32("value_dim", 4), f32("eps", 5)},
       validate_gated_rms_norm,
       run_gated_rms_norm});
}

}  // namespace varkel::metal
