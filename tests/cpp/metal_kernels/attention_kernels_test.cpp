#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "metal_kernels/kernel_harness.h"

namespace varkel::metal::testing {
namespace {

constexpr uint32_t kHeads = 16, kKvHeads = 2, kHeadDim = 256, kKvDim = 512, kRotary = 64, kCacheRows = 4096;
constexpr float kTheta = 1e7f, kNormEps = 1e-6f, kScale = 0.0625f;

// Norm and rotation of one head in double.
std::vector<double> norm_rope_reference(const float* raw, const std::vector<uint16_t>& w, uint32_t pos) {
  double sum = 0;
  for (uint32_t t = 0; t < kHeadDim; ++t) sum += double(raw[t]) * raw[t];
  const double inv = 1.0 / std::sqrt(sum / kHeadDim + kNormEps);
  std::vector<double> n(kHeadDim), out(kHeadDim);
  for (uint32_t t = 0; t < kHeadDim; ++t) n[t] = raw[t] * inv * bf16_value(w[t]);
  const uint32_t half = kRotary / 2;
  for (uint32_t t = 0; t < kHeadDim; ++t) {
    if (t >= kRotary) {
      out[t] = n[t];
      continue;
    }
    const uint32_t i = t % half;
    const double angle = pos * std::pow(double(kTheta), -2.0 * i / kRotary);
    out[t] = t < half ? n[t] * std::cos(angle) - n[t + half] * std::sin(angle)
                      : n[i] * std::sin(angle) + n[t] * std::cos(angle);
  }
  return out;
}

// Normalised values stay below 3 and take a few roundings; an angle of `pos`
// radians is off by a couple of ulps of pos in f32, which the rotation carries
// into both of its terms.
double rope_tolerance(uint32_t pos) { return (64 + 8.0 * pos) * kEps; }

std::vector<float> run_q_norm(const std::vector<float>& q_proj, std::vector<uint16_t>& w, uint32_t pos,
                              std::vector<float>* gate = nullptr) {
  std::vector<float> q_out(kHeads * kHeadDim, 99.0f), gate_out(kHeads * kHeadDim);
  auto proj = q_proj;
  Dispatch("q_head_norm_rope")
      .bind(0, proj).bind(1, w).bind(2, q_out).bind(3, gate_out)
      .u32(4, kHeadDim).u32(5, kRotary).f32(6, kTheta).u32(7, pos).f32(8, kNormEps)
      .grid(kHeads, kHeadDim)
      .run();
  if (gate) *gate = gate_out;
  return q_out;
}

TEST(AttentionKernels, HeadNormWithRotaryMatchesDoubleReference) {
  std::mt19937 rng(1);
  const auto q_proj = random_floats(rng, kHeads * 2 * kHeadDim, -3, 3);
  auto w = random_bf16(rng, kHeadDim, 0.5f, 1.5f);
  for (uint32_t pos : {0u, 1u, 4095u}) {
    const double tol = rope_tolerance(pos);
    std::vector<float> gate;
    const auto q_out = run_q_norm(q_proj, w, pos, &gate);
    for (uint32_t h = 0; h < kHeads; ++h) {
      const auto want = norm_rope_reference(&q_proj[h * 2 * kHeadDim], w, pos);
      EXPECT_LT(max_error(std::span(q_out).subspan(h * kHeadDim, kHeadDim), want), tol) << "pos " << pos;
      EXPECT_EQ(0, std::memcmp(&gate[h * kHeadDim], &q_proj[h * 2 * kHeadDim + kHeadDim], kHeadDim * 4));
    }
  }

  // Only the first 64 dimensions turn with the position; at position 0 they do not turn at all.
  const auto at0 = run_q_norm(q_proj, w, 0), at7 = run_q_norm(q_proj, w, 7);
  for (uint32_t h = 0; h < kHeads; ++h) {
    for (uint32_t t = 0; t < kHeadDim; ++t) {
      const float plain = q_proj[h * 2 * kHeadDim + t];
      if (t >= kRotary) {
        EXPECT_EQ(at0[h * kHeadDim + t], at7[h * kHeadDim + t]);
      } else if (t % (kRotary / 2) < 16) {  // higher pairs turn by less than an ulp at position 7
        EXPECT_NE(at0[h * kHeadDim + t], at7[h * kHeadDim + t]);
      }
      // Norm only at position 0: same sign as the input, never rotated in from a partner.
      EXPECT_EQ(std::signbit(at0[h * kHeadDim + t]), std::signbit(plain));
    }
  }

  // The key form normalises and rotates in place, from pre-rotation values.
  std::vector<float> k = random_floats(rng, kKvHeads * kHeadDim, -3, 3);
  const auto k_raw = k;
  Dispatch("k_head_norm_rope")
      .bind(0, k).bind(1, w).u32(2, kHeadDim).u32(3, kRotary).f32(4, kTheta).u32(5, 1000).f32(6, kNormEps)
      .grid(kKvHeads, kHeadDim)
      .run();
  for (uint32_t h = 0; h < kKvHeads; ++h) {
    EXPECT_LT(max_error(std::span(k).subspan(h * kHeadDim, kHeadDim),
                        norm_rope_reference(&k_raw[h * kHeadDim], w, 1000)),
              rope_tolerance(1000));
  }

  // A zero head stays zero.
  std::vector<float> zero(kKvHeads * kHeadDim, 0.0f);
  Dispatch("k_head_norm_rope")
      .bind(0, zero).bind(1, w).u32(2, kHeadDim).u32(3, kRotary).f32(4, kTheta).u32(5, 3).f32(6, kNormEps)
      .grid(kKvHeads, kHeadDim)
      .run();
  for (float x : zero) EXPECT_EQ(x, 0.0f);
}

TEST(AttentionKernels, CacheAppendWritesOnlyItsRow) {
  std::mt19937 rng(2);
  auto k = random_floats(rng, kKvDim), v = random_floats(rng, kKvDim);
  std::vector<float> k_cache(8 * kKvDim, 5.0f), v_cache(8 * kKvDim, 6.0f);
  Dispatch append("kv_cache_append");
  append.bind(0, k).bind(1, v).bind(2, k_cache).bind(3, v_cache).u32(4, 3).u32(5, kKvDim).grid(2, 256).run();
  for (uint32_t i = 0; i < 8 * kKvDim; ++i) {
    const bool row3 = i / kKvDim == 3;
    EXPECT_EQ(k_cache[i], row3 ? k[i % kKvDim] : 5.0f);
    EXPECT_EQ(v_cache[i], row3 ? v[i % kKvDim] : 6.0f);
  }
  append.u32(4, 8);  // one past the last row
  EXPECT_TRUE(append.validate().has_value());
}

struct AttentionCase {
  std::vector<float> q, k_cache, v_cache;
  explicit AttentionCase(uint32_t seq_len, uint32_t seed) {
    std::mt19937 rng(seed);
    q = random_floats(rng, kHeads * kHeadDim, -2, 2);
    k_cache = random_floats(rng, size_t{seq_len} * kKvDim, -2, 2);
    v_cache = random_floats(rng, size_t{seq_len} * kKvDim);
  }
  // softmax(scale · q·k) · v per head, in double.
  std::vector<double> reference(uint32_t seq_len) const {
    std::vector<double> out(kHeads * kHeadDim, 0.0), scores(seq_len);
    for (uint32_t h = 0; h < kHeads; ++h) {
      const size_t col = (h / 8) * kHeadDim;
      double m = -std::numeric_limits<double>::infinity(), sum = 0;
      for (uint32_t p = 0; p < seq_len; ++p) {
        double dot = 0;
        for (uint32_t d = 0; d < kHeadDim; ++d) dot += double(q[h * kHeadDim + d]) * k_cache[p * kKvDim + col + d];
        scores[p] = kScale * dot;
        m = std::max(m, scores[p]);
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
    Dispatch("attn_sdpa_fused")
        .bind(0, q).bind(1, k_cache).bind(2, v_cache).bind(3, out).u32(4, seq_len).f32(5, kScale)
        .grid(kHeads, 256)
        .run();
    return out;
  }
  std::vector<float> block_pass(uint32_t seq_len, uint32_t num_blocks, uint32_t grid_blocks) {
    std::vector<float> partials(size_t{num_blocks} * kHeads * 258, -7.0f);
    Dispatch("attn_sdpa_block")
        .bind(0, q).bind(1, k_cache).bind(2, v_cache).bind(3, partials)
        .u32(4, seq_len).u32(5, num_blocks).f32(6, kScale)
        .grid(kHeads, 256, grid_blocks)
        .run();
    return partials;
  }
  std::vector<float> blocked(uint32_t seq_len) {
    const uint32_t num_blocks = (seq_len - 1 + 32) / 32;  // as the engine passes it: (pos + 32) / 32
    auto partials = block_pass(seq_len, num_blocks, num_blocks);
    std::vector<float> out(kHeads * kHeadDim, 99.0f);
    Dispatch("attn_sdpa_reduce").bind(0, partials).bind(1, out).u32(2, num_blocks).grid(kHeads, 256).run();
    return out;
  }
};

TEST(AttentionKernels, SinglePassAndBlockedPairMatchSoftmaxReference) {
  // Each output is a convex combination of values within ±1. The weights carry
  // a few ulps each, and no sum runs more than a few hundred terms in
  // sequence; for terms of random sign the rounding grows with the square root
  // of that, so 256·2^-24 holds with a wide margin. Leaving out one of 4096
  // positions would move an output by about 1/4096 of a value, far above it.
  const double tol = 256 * kEps;
  for (uint32_t seq_len : {1u, 2u, 31u, 32u, 33u, 100u, 1500u, 4096u}) {
    AttentionCase c(seq_len, seq_len);
    const auto want = c.reference(seq_len);
    const auto fused = c.fused(seq_len), blocked = c.blocked(seq_len);
    EXPECT_LT(max_error(fused, want), tol) << "fused, seq_len " << seq_len;
    EXPECT_LT(max_error(blocked, want), tol) << "blocked, seq_len " << seq_len;
    // The two paths differ only in rounding.
    EXPECT_LT(max_error(blocked, std::vector<double>(fused.begin(), fused.end())), 2 * tol) << seq_len;
  }

  // The first position: every query head returns its key/value head's value row.
  AttentionCase one(1, 9);
  for (const auto& out : {one.fused(1), one.blocked(1)}) {
    for (uint32_t h = 0; h < kHeads; ++h) {
      EXPECT_EQ(0, std::memcmp(&out[h * kHeadDim], &one.v_cache[(h / 8) * kHeadDim], kHeadDim * 4)) << h;
    }
  }
}

TEST(AttentionKernels, BlockRecordsHoldMaximumSumAndUnnormalisedOutput) {
  // pos 32: two blocks, the second holding only position 32.
  AttentionCase c(33, 5);
  auto partials = c.block_pass(33, 4, 4);  // blocks 2 and 3 start past seq_len and write nothing
  const double log2e = 1.4426950408889634;
  for (uint32_t h = 0; h < kHeads; ++h) {
    const size_t col = (h / 8) * kHeadDim;
    for (uint32_t b = 0; b < 4; ++b) {
      const float* rec = &partials[(h * 4 + b) * 258];
      if (b >= 2) {
        for (int i = 0; i < 258; ++i) ASSERT_EQ(rec[i], -7.0f);
        continue;
      }
      const uint32_t begin = 32 * b, end = std::min(33u, begin + 32);
      std::vector<double> s;
      for (uint32_t p = begin; p < end; ++p) {
        double dot = 0;
        for (uint32_t d = 0; d < kHeadDim; ++d) dot += double(c.q[h * kHeadDim + d]) * c.k_cache[p * kKvDim + col + d];
        s.push_back(kScale * log2e * dot);
      }
      const double m = *std::max_element(s.begin(), s.end());
      double sum = 0;
      std::vector<double> o(kHeadDim, 0.0);
      for (uint32_t i = 0; i < s.size(); ++i) {
        const double e = std::exp2(s[i] - m);
        sum += e;
        for (uint32_t d = 0; d < kHeadDim; ++d) o[d] += e * c.v_cache[(begin + i) * kKvDim + col + d];
      }
      EXPECT_NEAR(rec[0], m, 1e-5);
      EXPECT_NEAR(rec[1], sum, 1e-5);
      EXPECT_LT(max_error(std::span(rec + 2, kHeadDim), o), 1e-5);
      if (b == 1) {
        EXPECT_EQ(rec[1], 1.0f);
      }  // a single position weighs exactly 1
    }
  }

  // pos 31 fits one block: the engine's num_blocks is 1 and the pair still agrees with the reference.
  AttentionCase edge(32, 6);
  EXPECT_EQ((31u + 32) / 32, 1u);
  EXPECT_LT(max_error(edge.blocked(32), edge.reference(32)), 1e-5);
}

TEST(AttentionKernels, OutputGateAndThreeKernelAttention) {
  std::mt19937 rng(3);
  auto x = random_floats(rng, 4096), gate = random_floats(rng, 4096, -8, 8);
  const auto x0 = x;
  Dispatch("sigmoid_gate").bind(0, x).bind(1, gate).u32(2, 4096).grid(16, 256).run();
  std::vector<double> want(4096);
  for (int i = 0; i < 4096; ++i) want[i] = x0[i] * sigmoid(gate[i]);
  EXPECT_LT(max_error(x, want), 4 * kEps);

  // Scores, softmax and values: 16 heads over 40 positions, rows of stride 64, 48 threadgroups per head.
  constexpr uint32_t kSeq = 40, kStride = 64, kTgs = 48;
  AttentionCase c(kSeq, 4);
  std::vector<float> scores(kHeads * kStride, 123.0f), out(kHeads * kHeadDim);
  Dispatch("attn_scores_batched")
      .bind(0, c.q).bind(1, c.k_cache).bind(2, scores)
      .u32(3, kHeadDim).u32(4, kKvDim).u32(5, kSeq).u32(6, kStride).f32(7, kScale).u32(8, 8).u32(9, kTgs)
      .grid(kTgs * kHeads, 256)
      .run();
  for (uint32_t h = 0; h < kHeads; ++h) {
    for (uint32_t p = kSeq; p < kStride; ++p) ASSERT_EQ(scores[h * kStride + p], 123.0f);
  }
  Dispatch("attn_softmax_batched").bind(0, scores).u32(1, kSeq).u32(2, kStride).grid(kHeads, 256).run();
  Dispatch("attn_values_batched")
      .bind(0, scores).bind(1, c.v_cache).bind(2, out)
      .u32(3, kHeadDim).u32(4, kKvDim).u32(5, kSeq).u32(6, kStride).u32(7, 8)
      .grid(kHeads, kHeadDim)
      .run();
  EXPECT_LT(max_error(out, c.reference(kSeq)), 1e-5);
}

TEST(AttentionKernels, DispatchesThatWouldLeaveTheirBuffersAreRefused) {
  AttentionCase c(64, 7);
  std::vector<float> out(kHeads * kHeadDim), partials(2 * kHeads * 258);
  Dispatch fused("attn_sdpa_fused");
  fused.bind(0, c.q).bind(1, c.k_cache).bind(2, c.v_cache).bind(3, out).u32(4, 65).f32(5, kScale).grid(kHeads, 256);
  EXPECT_TRUE(fused.validate().has_value());  // one position past the cache
  fused.u32(4, 64);
  EXPECT_FALSE(fused.validate().has_value());
  fused.grid(kHeads, 128);
  EXPECT_TRUE(fused.validate().has_value());

  Dispatch block("attn_sdpa_block");
  block.bind(0, c.q).bind(1, c.k_cache).bind(2, c.v_cache).bind(3, partials).u32(4, 64).u32(5, 2).f32(6, kScale);
  block.grid(kHeads, 256, 2);
  EXPECT_FALSE(block.validate().has_value());
  block.u32(5, 1).grid(kHeads, 256, 2);  // two working blocks share one record per head
  EXPECT_TRUE(block.validate().has_value());

  std::vector<float> small(kHeadDim * 2);
  std::vector<uint16_t> w(kHeadDim);
  Dispatch knorm("k_head_norm_rope");
  knorm.bind(0, small).bind(1, w).u32(2, kHeadDim).u32(3, kRotary).f32(4, kTheta).u32(5, 0).f32(6, kNormEps);
  EXPECT_TRUE(knorm.grid(3, kHeadDim).validate().has_value());
  EXPECT_TRUE(knorm.grid(2, 128).validate().has_value());
  EXPECT_FALSE(knorm.grid(2, kHeadDim).validate().has_value());

  std::vector<float> scores(kHeads * 40 - 1);
  Dispatch values("attn_values_batched");
  values.bind(0, scores).bind(1, c.v_cache).bind(2, out)
      .u32(3, kHeadDim).u32(4, kKvDim).u32(5, 40).u32(6, 40).u32(7, 8).grid(kHeads, kHeadDim);
  EXPECT_TRUE(values.validate().has_value());
}

}  // namespace
}  // namespace varkel::metal::testing
