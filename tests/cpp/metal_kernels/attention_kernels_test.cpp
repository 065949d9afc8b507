#include <cstring>
#include <limits>

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

std::vector<float> run_q_norm(std::vector<float> proj, std::vector<uint16_t>& w, uint32_t pos,
                              std::vector<float>* gate = nullptr) {
  std::vector<float> q_out(kHeads * kHeadDim, 99.0f), gate_out(kHeads * kHeadDim);
  Dispatch("q_head_norm_rope")
      .bind(0, proj).bind(1, w).bind(2, q_out).bind(3, gate_out)
      .u32(4, kHeadDim).u32(5, kRotary).f32(6, kTheta).u32(7, pos).f32(8, kNormEps)
      .grid(kHeads, kHeadDim).run();
  if (gate) *gate = gate_out;
  return q_out;
}

TEST(AttentionKernels, HeadNormWithRotaryMatchesDoubleReference) {
  std::mt19937 rng(1);
  const auto q_proj = random_floats(rng, kHeads * 2 * kHeadDim, -3, 3);
  auto w = random_bf16(rng, kHeadDim, 0.5f, 1.5f);
  for (uint32_t pos : {0u, 4095u}) {
    std::vector<float> gate;
    const auto q_out = run_q_norm(q_proj, w, pos, &gate);
    for (uint32_t h = 0; h < kHeads; ++h) {
      const auto want = norm_rope_reference(&q_proj[h * 2 * kHeadDim], w, pos);
      EXPECT_LT(max_error(std::span(q_out).subspan(h * kHeadDim, kHeadDim), want), rope_tolerance(pos)) << pos;
      EXPECT_EQ(0, std::memcmp(&gate[h * kHeadDim], &q_proj[h * 2 * kHeadDim + kHeadDim], kHeadDim * 4));
    }
  }
  // The key form works in place.
  std::vector<float> k = random_floats(rng, kKvHeads * kHeadDim, -3, 3);
  const auto k_raw = k;
  Dispatch("k_head_norm_rope")
      .bind(0, k).bind(1, w).u32(2, kHeadDim).u32(3, kRotary).f32(4, kTheta).u32(5, 1000).f32(6, kNormEps)
      .grid(kKvHeads, kHeadDim).run();
  for (uint32_t h = 0; h < kKvHeads; ++h) {
    EXPECT_LT(max_error(std::span(k).subspan(h * kHeadDim, kHeadDim), norm_rope_reference(&k_raw[h * kHeadDim], w, 1000)),
              rope_tolerance(1000));
  }
}

TEST(AttentionKernels, CacheAppendWritesOnlyItsRow) {
  std::mt19937 rng(2);
  auto k = random_floats(rng, kKvDim), v = random_floats(rng, kKvDim);
  std::vector<float> k_cache(8 * kKvDim, 5.0f), v_cache(8 * kKvDim, 6.0f);
  Dispatch("kv_cache_append").bind(0, k).bind(1, v).bind(2, k_cache).bind(3, v_cache).u32(4, 3).u32(5, kKvDim).grid(2, 256).run();
  for (uint32_t i = 0; i < 8 * kKvDim; ++i) {
    ASSERT_EQ(k_cache[i], i / kKvDim == 3 ? k[i % kKvDim] : 5.0f);
    ASSERT_EQ(v_cache[i], i / kKvDim == 3 ? v[i % kKvDim] : 6.0f);
  }
}

struct AttentionCase {
  std::vector<float> q, k_cache, v_cache;
  AttentionCase(uint32_t seq_len, uint32_t seed) {
    std::mt19937 rng(seed);
    q = random_floats(rng, kHeads * kHeadDim, -2, 2);
    k_cache = random_floats(rng, size_t{seq_len} * kKvDim, -2, 2);
    v_cache = random_floats(rng, size_t{seq_len} * kKvDim);
  }
  std::vector<double> reference(uint32_t seq_len) const {
    std::vector<double> out(kHeads * kHeadDim, 0.0), scores(seq_len);
    for (uint32_t h = 0; h < kHeads; ++h) {
      const size_t col = (h / 8) * kHeadDim;
      double m = -std::numeric_limits<double>::infinity(), sum = 0;
      for (uint32_t p = 0; p < seq_len; ++p) {
        double dot = 0;
        for (uint32_t d = 0; d < kHeadDim; ++d) dot += double(q[h * kHeadDim + d]) * k_cache[p * kKvDim + col + d];
        m = std::max(m, scores[p] = kScale * dot);
      }
      for (uint32_t p = 0; p < seq_len; ++p) {
        const double e = std::exp(scores[p] - m);
        sum += e;
        for (uint32_t d = 0; d < kHeadDim; ++d) out[h * kHeadDim + d] += e * v_cache[p * kKvDim + col + d];
      }
      for (uint32_t d = 0; d < kHeadDim; ++d) out[h * kHeadDim + d] /= sum;
    }
    return out;
  }
  std::vector<float> fused(uint32_t seq_len) {
    std::vector<float> out(kHeads * kHeadDim, 99.0f);
    Dispatch("attn_sdpa_fused").bind(0, q).bind(1, k_cache).bind(2, v_cache).bind(3, out).u32(4, seq_len)
        .f32(5, kScale).grid(kHeads, 256).run();
    return out;
  }
  std::vector<float> blocked(uint32_t seq_len) {
    const uint32_t num_blocks = (seq_len - 1 + 32) / 32;  // as the engine passes it: (pos + 32) / 32
    std::vector<float> partials(size_t{num_blocks} * kHeads * 258, -7.0f), out(kHeads * kHeadDim, 99.0f);
    Dispatch("attn_sdpa_block").bind(0, q).bind(1, k_cache).bind(2, v_cache).bind(3, partials)
        .u32(4, seq_len).u32(5, num_blocks).f32(6, kScale).grid(kHeads, 256, num_blocks).run();
    Dispatch("attn_sdpa_reduce").bind(0, partials).bind(1, out).u32(2, num_blocks).grid(kHeads, 256).run();
    return out;
  }
};

TEST(AttentionKernels, SinglePassAndBlockedPairMatchSoftmaxReference) {
  // Leaving out one of 4096 positions would move an output by ~1/4096, far above this.
  const double tol = 256 * kEps;
  for (uint32_t seq_len : {1u, 32u, 33u, 1500u, 4096u}) {
    AttentionCase c(seq_len, seq_len);
    const auto want = c.reference(seq_len);
    const auto fused = c.fused(seq_len), blocked = c.blocked(seq_len);
    EXPECT_LT(max_error(fused, want), tol) << "fused, seq_len " << seq_len;
    EXPECT_LT(max_error(blocked, want), tol) << "blocked, seq_len " << seq_len;
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
  for (uint32_t h = 0; h < kHeads; ++h) {
    for (uint32_t p = kSeq; p < kStride; ++p) ASSERT_EQ(scores[h * kStride + p], 123.0f);
  }
  Dispatch("attn_softmax_batched").bind(0, scores).u32(1, kSeq).u32(2, kStride).grid(kHeads, 256).run();
  Dispatch("attn_values_batched").bind(0, scores).bind(1, c.v_cache).bind(2, out)
      .u32(3, kHeadDim).u32(4, kKvDim).u32(5, kSeq).u32(6, kStride).u32(7, 8).grid(kHeads, kHeadDim).run();
  EXPECT_LT(max_error(out, c.reference(kSeq)), 1e-5);
}

}  // namespace
}  // namespace varkel::metal::testing
