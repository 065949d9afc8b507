#include <cstring>
#include <limits>

#include "metal/kernels/activations.h"
#include "metal_kernels/kernel_harness.h"

namespace varkel::metal::testing {
namespace {

constexpr uint32_t kHidden = 2048;

TEST(NormKernels, FusedAndTwoPassNormsMatchDoubleReference) {
  std::mt19937 rng(21);
  auto x = random_floats(rng, kHidden, -4, 4), w32 = random_floats(rng, kHidden, 0.5, 1.5);
  auto w16 = random_bf16(rng, kHidden, 0.5, 1.5);
  const auto want16 = rms_reference(x, 1e-6, [&](size_t i) { return bf16_value(w16[i]); });
  const double tol = 2 * (kHidden * kEps + 4 * kEps);
  std::vector<float> out(kHidden, 99.0f), out32(kHidden), out16(kHidden), sum_sq(1);
  Dispatch("rms_norm_fused_bf16").bind(0, x).bind(1, w16).bind(2, out).u32(3, kHidden).f32(4, 1e-6f).grid(1, 256).run();
  EXPECT_LT(max_error(out, want16), tol);

  Dispatch("rms_norm_sum_sq").bind(0, x).bind(1, sum_sq).u32(2, kHidden).grid(1, 256).run();
  Dispatch("rms_norm_apply").bind(0, x).bind(1, w32).bind(2, sum_sq).bind(3, out32).u32(4, kHidden).f32(5, 1e-6f)
      .grid(kHidden / 256, 256).run();
  Dispatch("rms_norm_apply_bf16").bind(0, x).bind(1, w16).bind(2, sum_sq).bind(3, out16).u32(4, kHidden)
      .f32(5, 1e-6f).grid(kHidden / 256, 256).run();
  EXPECT_LT(max_error(out32, rms_reference(x, 1e-6, [&](size_t i) { return double(w32[i]); })), tol);
  EXPECT_LT(max_error(out16, want16), tol);

  // Thread t adds x[t], x[t + 256], ... in order: against 4096², thread 0's
  // seven further ones round away; every other thread keeps 8.
  std::vector<float> spread(kHidden, 1.0f);
  spread[0] = 4096.0f;
  Dispatch("rms_norm_sum_sq").bind(0, spread).bind(1, sum_sq).u32(2, kHidden).grid(1, 256).run();
  EXPECT_EQ(sum_sq[0], 16777216.0f + 255 * 8.0f);
  std::vector<uint16_t> unit(kHidden, 0x3F80);  // bf16 1.0
  Dispatch("rms_norm_fused_bf16").bind(0, spread).bind(1, unit).bind(2, out).u32(3, kHidden).f32(4, 1e-6f)
      .grid(1, 256).run();
  EXPECT_EQ(out[1], 1.0f / std::sqrt((16777216.0f + 255 * 8.0f) / 2048.0f + 1e-6f));
}

// The sum of squares as a threadgroup forms it: thread t's own in-order
// sum, the SIMD groups' sums of their 32 lanes, then the groups' in order.
float threadgroup_sum_of_squares(std::span<const float> x, uint32_t threads) {
  float total = 0.0f;
  for (uint32_t first = 0; first < threads; first += 32) {
    float group = 0.0f;
    for (uint32_t t = first; t < std::min(threads, first + 32); ++t) {
      float own = 0.0f;
      for (size_t i = t; i < x.size(); i += threads) own += x[i] * x[i];
      group += own;
    }
    total += group;
  }
  return total;
}

TEST(NormKernels, EveryTargetSumsAsTheThreadgroupDoes) {
  std::mt19937 rng(23);
  const auto x = random_floats(rng, kHidden, -4, 4);
  const auto w = random_bf16(rng, kHidden, 0.5, 1.5);
  // Whole rows of threads, a partial last row, fewer elements than threads,
  // threads that leave a partial SIMD group, and more than 1024 threads.
  struct Case { uint32_t dim, threads; };
  for (const Case c :
       {Case{kHidden, 256}, Case{kHidden - 5, 256}, Case{100, 256}, Case{1000, 72}, Case{kHidden, 1100}}) {
    const auto xs = std::span(x).first(c.dim);
    const float sum = threadgroup_sum_of_squares(xs, c.threads);
    const float inv = 1.0f / std::sqrt(sum / static_cast<float>(c.dim) + 1e-6f);
    for_each_simd_target([&] {
      std::vector<float> out(c.dim), sum_sq(1);
      Dispatch("rms_norm_sum_sq").bind(0, xs).bind(1, sum_sq).u32(2, c.dim).grid(1, c.threads).run();
      EXPECT_EQ(std::bit_cast<uint32_t>(sum_sq[0]), std::bit_cast<uint32_t>(sum)) << c.dim << " " << c.threads;
      Dispatch("rms_norm_fused_bf16").bind(0, xs).bind(1, w).bind(2, out).u32(3, c.dim).f32(4, 1e-6f)
          .grid(1, c.threads).run();
      for (uint32_t i = 0; i < c.dim; ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(x[i] * inv * float(bf16_value(w[i]))))
            << c.dim << " " << c.threads << " " << i;
      }
    });
  }
}

TEST(ElementwiseKernels, SwigluResidualAndWeightedSum) {
  std::mt19937 rng(22);
  auto gate = random_floats(rng, 1024, -6, 6), up = random_floats(rng, 1024, -2, 2);
  std::vector<double> want(1024);
  for (size_t i = 0; i < 1024; ++i) want[i] = silu(gate[i]) * up[i];
  struct Case { const char* name; uint32_t n, groups, batch; };
  for (const Case c : {Case{"swiglu_fused_vec4", 512, 1, 0}, Case{"swiglu_fused", 510, 2, 0},
                       Case{"swiglu_fused_batched", 200, 4, 4}}) {
    std::vector<float> out(1024, 99.0f);
    Dispatch(c.name).bind(0, gate).bind(1, up).bind(2, out).u32(3, c.n).u32(4, c.batch).grid(c.groups, 256).run();
    const size_t n = c.n * std::max(c.batch, 1u);
    EXPECT_LT(max_error(std::span(out).first(n), std::span(want).first(n)), 12 * 8 * kEps) << c.name;
    EXPECT_EQ(out[n], 99.0f) << c.name;
  }
  auto a = random_floats(rng, kHidden), b = random_floats(rng, kHidden);
  std::vector<float> out(kHidden);
  Dispatch("residual_add").bind(0, a).bind(1, b).bind(2, out).u32(3, kHidden).grid(8, 256).run();
  for (uint32_t i = 0; i < kHidden; ++i) ASSERT_EQ(out[i], static_cast<float>(double(a[i]) + b[i]));
  constexpr uint32_t kK = 5;
  auto experts = random_floats(rng, kK * kHidden, -3, 3), weights = random_floats(rng, kK, 0, 1);
  Dispatch("weighted_sum").bind(0, experts).bind(1, weights).bind(2, out).u32(3, kK).u32(4, kHidden)
      .grid(8, 256).run();
  std::vector<double> sum(kHidden, 0.0);
  for (uint32_t i = 0; i < kK * kHidden; ++i) sum[i % kHidden] += double(weights[i / kHidden]) * experts[i];
  EXPECT_LT(max_error(out, sum), 2 * kK * 3 * kEps * 4);
}

TEST(CombineKernel, UsesOnlyTheFirstKSlotsAndTheGatedSharedExpert) {
  std::mt19937 rng(24);
  auto h_mid = random_floats(rng, kHidden), shared = random_floats(rng, kHidden);
  // Slots 4..7 hold NaN, and slot 7 is a single float: never read.
  std::vector<std::vector<float>> experts(8, std::vector<float>(kHidden, std::numeric_limits<float>::quiet_NaN()));
  for (int s = 0; s < 4; ++s) experts[s] = random_floats(rng, kHidden, -2, 2);
  experts[7].resize(1);
  std::vector<float> params = {0.4f, 0.3f, 0.2f, 0.1f, 9.0f, 9.0f, 9.0f, 9.0f, 1.5f, 0.0f};
  // Also a width that ends in a partial vector.
  for (const uint32_t dim : {kHidden, kHidden - 3}) {
    std::vector<double> want(dim);
    std::vector<float> exact(dim);
    for (uint32_t i = 0; i < dim; ++i) {
      double moe = 0;
      float moe_f = 0.0f;
      for (int s = 0; s < 4; ++s) moe += double(params[s]) * experts[s][i], moe_f += params[s] * experts[s][i];
      want[i] = h_mid[i] + moe + sigmoid(params[8]) * shared[i];
      exact[i] = h_mid[i] + moe_f + metal::sigmoid(params[8]) * shared[i];
    }
    for_each_simd_target([&] {
      std::vector<float> hidden(dim);
      Dispatch d("moe_combine_residual");
      for (uint32_t s = 0; s < 8; ++s) d.bind(3 + s, experts[s]);
      d.bind(0, h_mid).bind(1, shared).bind(2, hidden).bind(11, params).u32(12, dim).u32(13, 4).grid(8, 256).run();
      EXPECT_LT(max_error(hidden, want), 16 * 4 * kEps);
      EXPECT_EQ(0, std::memcmp(hidden.data(), exact.data(), dim * 4)) << dim;
    });
  }
}

}  // namespace
}  // namespace varkel::metal::testing
