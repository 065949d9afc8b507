#include <cstring>

#include "metal_kernels/kernel_harness.h"

namespace varkel::metal::testing {
namespace {

constexpr uint32_t kHeads = 16, kKvHeads = 2, kHeadDim = 256, kKvDim = 512, kRotary = 64;
constexpr float kTheta = 1e7f, kNormEps = 1e-6f, kScale = 0.0625f;

std::vector<double> norm_rope_reference(const float* raw, const std::vector<uint16_t>& w, uint32_t pos) {
  const auto n = rms_reference(std::span(raw, kHeadDim), kNormEps, [&](size_t t) { return bf16_value(w[t]); });
  std::vector<double> out(kHeadDim);
  const uint32_t half = kRotary / 2;
  for (uint32_t t = 0; t < kHeadDim; ++t) {
    const uint32_t i = t % half;
    const double angle = pos * std::pow(double(kTheta), -2.0 * i / kRotary);
    out[t] = t >= kRotary ? n[t]
             : t < half   ? n[t] * std::cos(angle) - n[t + half] * std::sin(angle)
                          : n[i] * std::sin(angle) + n[t] * std::cos(angle);
  }
  return out;
}

// An angle of `pos` radians is off by a couple of ulps of pos in f32.
double rope_tolerance(uint32_t pos) { return (64 + 8.0 * pos) * kEps; }

TEST(AttentionKernels, HeadNormWithRotaryMatchesDoubleReference) {
  std::mt19937 rng(1);
  auto q_proj = random_floats(rng, kHeads * 2 * kHeadDim, -3, 3), k = random_floats(rng, kKvHeads * kHeadDim, -3, 3);
  auto w = random_bf16(rng, kHeadDim, 0.5f, 1.5f);
  const auto k_raw = k;
  for (uint32_t pos : {0u, 4095u}) {
    std::vector<float> q(kHeads * kHeadDim, 99.0f), gate(kHeads * kHeadDim);
    Dispatch("q_head_norm_rope").bind(0, q_proj).bind(1, w).bind(2, q).bind(3, gate).u32(4, kHeadDim).u32(5, kRotary)
        .f32(6, kTheta).u32(7, pos).f32(8, kNormEps).grid(kHeads, kHeadDim).run();
    for (uint32_t h = 0; h < kHeads; ++h) {
      const auto want = norm_rope_reference(&q_proj[h * 2 * kHeadDim], w, pos);
      EXPECT_LT(max_error(std::span(q).subspan(h * kHeadDim, kHeadDim), want), rope_tolerance(pos)) << pos;
      EXPECT_EQ(0, std::memcmp(&gate[h * kHeadDim], &q_proj[h * 2 * kHeadDim + kHeadDim], kHeadDim * 4));
    }
  }
  // The key form works in place.
  Dispatch("k_head_norm_rope").bind(0, k).bind(1, w).u32(2, kHeadDim).u32(3, kRotary).f32(4, kTheta).u32(5, 1000)
      .f32(6, kNormEps).grid(kKvHeads, kHeadDim).run();
  for (uint32_t h = 0; h < kKvHeads; ++h) {
    const auto want = norm_rope_reference(&k_raw[h * kHeadDim], w, 1000);
    EXPECT_LT(max_error(std::span(k).subspan(h * kHeadDim, kHeadDim), want), rope_tolerance(1000));
  }
}

TEST(AttentionKernels, CacheAppendWritesOnlyItsRow) {
  std::mt19937 rng(2);
  auto k = random_floats(rng, kKvDim), v = random_floats(rng, kKvDim);
  std::vector<float> k_cache(8 * kKvDim, 5.0f), v_cache(8 * kKvDim, 6.0f);
  Dispatch("kv_cache_append").bind(0, k).bind(1, v).bind(2, k_cache).bind(3, v_cache).u32(4, 3).u32(5, kKvDim)
      .grid(2, 256).run();
  for (uint32_t i = 0; i < 8 * kKvDim; ++i) {
    ASSERT_EQ(k_cache[i], i / kKvDim == 3 ? k[i % kKvDim] : 5.0f);
    ASSERT_EQ(v_cache[i], i / kKvDim == 3 ? v[i % kKvDim] : 6.0f);
  }
}

struct AttentionCase {
  uint32_t n;
  std::vector<float> q, k_cache, v_cache;
  AttentionCase(uint32_t seq_len, uint32_t seed) : n(seq_len) {
    std::mt19937 rng(seed);
    q = random_floats(rng, kHeads * kHeadDim, -2, 2);
    k_cache = random_floats(rng, size_t{n} * kKvDim, -2, 2);
    v_cache = random_floats(rng, size_t{n} * kKvDim);
  }
  std::vector<double> reference() const {  // scores stay below 64: no max shift needed in double
    std::vector<double> out(kHeads * kHeadDim, 0.0);
    for (uint32_t h = 0; h < kHeads; ++h) {
      double sum = 0, *o = &out[h * kHeadDim];
      for (uint32_t p = 0; p < n; ++p) {
        const float *kr = &k_cache[p * kKvDim + (h / 8) * kHeadDim], *vr = &v_cache[p * kKvDim + (h / 8) * kHeadDim];
        double dot = 0;
        for (uint32_t d = 0; d < kHeadDim; ++d) dot += double(q[h * kHeadDim + d]) * kr[d];
        const double e = std::exp(kScale * dot);
        sum += e;
        for (uint32_t d = 0; d < kHeadDim; ++d) o[d] += e * vr[d];
      }
      for (uint32_t d = 0; d < kHeadDim; ++d) o[d] /= sum;
    }
    return out;
  }
};

TEST(AttentionKernels, SinglePassAndBlockedPairMatchSoftmaxReference) {
  // Leaving out one of 4096 positions would move an output by ~1/4096, far above this.
  for (uint32_t n : {1u, 32u, 33u, 1500u, 4096u}) {
    AttentionCase c(n, n);
    const uint32_t blocks = (n - 1 + 32) / 32;  // as the engine passes it: (pos + 32) / 32
    std::vector<float> fused(kHeads * kHeadDim, 99.0f), blocked = fused, partials(blocks * kHeads * 258, -7.0f);
    Dispatch("attn_sdpa_fused").bind(0, c.q).bind(1, c.k_cache).bind(2, c.v_cache).bind(3, fused).u32(4, n)
        .f32(5, kScale).grid(kHeads, 256).run();
    Dispatch("attn_sdpa_block").bind(0, c.q).bind(1, c.k_cache).bind(2, c.v_cache).bind(3, partials).u32(4, n)
        .u32(5, blocks).f32(6, kScale).grid(kHeads, 256, blocks).run();
    Dispatch("attn_sdpa_reduce").bind(0, partials).bind(1, blocked).u32(2, blocks).grid(kHeads, 256).run();
    const auto want = c.reference();
    EXPECT_LT(max_error(fused, want), 256 * kEps) << "fused, seq_len " << n;
    EXPECT_LT(max_error(blocked, want), 256 * kEps) << "blocked, seq_len " << n;
  }
}

TEST(AttentionKernels, OutputGateAndThreeKernelAttention) {
  std::mt19937 rng(3);
  auto x = random_floats(rng, 4096), gate = random_floats(rng, 4096, -8, 8);
  const auto x0 = x;
  Dispatch("sigmoid_gate").bind(0, x).bind(1, gate).u32(2, 4096).grid(16, 256).run();
  std::vector<double> want(4096);
  for (int i = 0; i < 4096; ++i) want[i] = x0[i] * sigmoid(gate[i]);
  EXPECT_LT(max_error(x, want), 4 * kEps);

  // 16 heads over 40 positions, rows of stride 64, 48 threadgroups per head.
  constexpr uint32_t kSeq = 40, kStride = 64, kTgs = 48;
  AttentionCase c(kSeq, 4);
  std::vector<float> scores(kHeads * kStride, 123.0f), out(kHeads * kHeadDim);
  Dispatch("attn_scores_batched").bind(0, c.q).bind(1, c.k_cache).bind(2, scores)
      .u32(3, kHeadDim).u32(4, kKvDim).u32(5, kSeq).u32(6, kStride).f32(7, kScale).u32(8, 8).u32(9, kTgs)
      .grid(kTgs * kHeads, 256).run();
  for (uint32_t i = 0; i < kHeads * kStride; ++i) {
    if (i % kStride >= kSeq) {
      ASSERT_EQ(scores[i], 123.0f);
    }
  }
  Dispatch("attn_softmax_batched").bind(0, scores).u32(1, kSeq).u32(2, kStride).grid(kHeads, 256).run();
  Dispatch("attn_values_batched").bind(0, scores).bind(1, c.v_cache).bind(2, out)
      .u32(3, kHeadDim).u32(4, kKvDim).u32(5, kSeq).u32(6, kStride).u32(7, 8).grid(kHeads, kHeadDim).run();
  EXPECT_LT(max_error(out, c.reference()), 1e-5);
}

}  // namespace
}  // namespace varkel::metal::testing
