#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "common/reference_exp.h"
#include "metal/kernels/attention_core.h"
#include "metal/kernels/simd_group_sum.h"
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
// The float steps of one head's threadgroup: thread 0's in-order sum of
// squares, then per dimension the own value as raw × (inv × w), the
// partner's as (raw × inv) × w, rotated by the correctly rounded table.
std::vector<float> norm_rope_exact(const float* raw, const std::vector<uint16_t>& w, uint32_t pos) {
  float sum = 0.0f;
  for (uint32_t t = 0; t < kHeadDim; ++t) sum += raw[t] * raw[t];
  const float inv = 1.0f / std::sqrt(sum / float(kHeadDim) + kNormEps);
  auto own = [&](uint32_t t) { return raw[t] * (inv * float(bf16_value(w[t]))); };
  auto partner = [&](uint32_t t) { return (raw[t] * inv) * float(bf16_value(w[t])); };
  std::vector<float> out(kHeadDim);
  const uint32_t half = kRotary / 2;
  for (uint32_t t = 0; t < kHeadDim; ++t) {
    const uint32_t i = t % half;
    const float angle = float(pos) * testing_support::correctly_rounded_pow(kTheta, -2.0f * float(i) / float(kRotary));
    const float c = testing_support::correctly_rounded_cos(angle), s = testing_support::correctly_rounded_sin(angle);
    out[t] = t >= kRotary ? own(t) : t < half ? own(t) * c - partner(t + half) * s : partner(i) * s + own(t) * c;
  }
  return out;
}

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
      EXPECT_EQ(0, std::memcmp(&q[h * kHeadDim], norm_rope_exact(&q_proj[h * 2 * kHeadDim], w, pos).data(),
                               kHeadDim * 4));
      EXPECT_EQ(0, std::memcmp(&gate[h * kHeadDim], &q_proj[h * 2 * kHeadDim + kHeadDim], kHeadDim * 4));
    }
  }
  // Outputs over the input: head by head, each seeing what the ones before
  // it wrote (here head 0's output lands on head 1's values).
  {
    auto buffer = q_proj, want = q_proj;
    std::vector<float> gate(kHeads * kHeadDim);
    for (uint32_t h = 0; h < kHeads; ++h) {
      const auto head = norm_rope_exact(&want[h * 2 * kHeadDim], w, 7);
      std::copy(head.begin(), head.end(), &want[(2 + h) * kHeadDim]);
    }
    Dispatch("q_head_norm_rope").bind(0, buffer).bind(1, w).bind(2, std::span(buffer).subspan(2 * kHeadDim))
        .bind(3, gate).u32(4, kHeadDim).u32(5, kRotary).f32(6, kTheta).u32(7, 7).f32(8, kNormEps)
        .grid(kHeads, kHeadDim).run();
    EXPECT_EQ(0, std::memcmp(buffer.data(), want.data(), buffer.size() * 4));
  }
  // The key form works in place.
  Dispatch("k_head_norm_rope").bind(0, k).bind(1, w).u32(2, kHeadDim).u32(3, kRotary).f32(4, kTheta).u32(5, 1000)
      .f32(6, kNormEps).grid(kKvHeads, kHeadDim).run();
  for (uint32_t h = 0; h < kKvHeads; ++h) {
    const auto want = norm_rope_reference(&k_raw[h * kHeadDim], w, 1000);
    EXPECT_LT(max_error(std::span(k).subspan(h * kHeadDim, kHeadDim), want), rope_tolerance(1000));
    EXPECT_EQ(0, std::memcmp(&k[h * kHeadDim], norm_rope_exact(&k_raw[h * kHeadDim], w, 1000).data(), kHeadDim * 4));
  }
}

// The rotary table holds the correctly rounded cos and sin of the float angle
// pos × theta^(−2i / rotary_dim), itself from the correctly rounded power, so
// every machine gives the same bits. Raw values 2 on the first half and 0
// elsewhere, unit weights and eps 0 normalise to exactly 2: the outputs are
// then 2 cos and 2 sin exactly.
TEST(AttentionKernels, RotaryTableIsCorrectlyRoundedAtEveryPosition) {
  const std::vector<uint16_t> w(kHeadDim, 0x3f80);  // bf16 1.0
  int mismatches = 0;
  auto check = [&](uint32_t pos, float theta, uint32_t rotary) {
    const uint32_t half = rotary / 2;
    // 64 twos, so that the norm leaves them 2: the first half of the rotary
    // dimensions, the rest past them.
    std::vector<float> k(kHeadDim, 0.0f);
    std::fill_n(k.begin(), half, 2.0f);
    std::fill_n(k.begin() + rotary, 64 - half, 2.0f);
    Dispatch("k_head_norm_rope").bind(0, k).bind(1, w).u32(2, kHeadDim).u32(3, rotary).f32(4, theta)
        .u32(5, pos).f32(6, 0.0f).grid(1, kHeadDim).run();
    for (uint32_t i = 0; i < half; ++i) {
      const float exponent = -2.0f * static_cast<float>(i) / static_cast<float>(rotary);
      const float angle = static_cast<float>(pos) * testing_support::correctly_rounded_pow(theta, exponent);
      if ((k[i] != 2.0f * testing_support::correctly_rounded_cos(angle) || k[i + half] != 2.0f * testing_support::correctly_rounded_sin(angle)) &&
          ++mismatches <= 10) {
        ADD_FAILURE() << "pos " << pos << " i " << i << std::hexfloat << " angle " << angle << ": " << k[i] / 2
                      << ", " << k[i + half] / 2;
      }
    }
  };
  for (uint32_t pos = 0; pos < 4096; ++pos) check(pos, kTheta, 128);
  // The last position again with another base, then another width: the
  // table of the previous dispatch must not be reused.
  check(4095, kTheta / 4, 128);
  check(4095, kTheta / 4, 64);
  EXPECT_EQ(mismatches, 0);
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
  uint32_t n, heads;
  std::vector<float> q, k_cache, v_cache;
  AttentionCase(uint32_t seq_len, uint32_t seed, uint32_t query_heads = kHeads, float q_range = 2)
      : n(seq_len), heads(query_heads) {
    std::mt19937 rng(seed);
    q = random_floats(rng, heads * kHeadDim, -q_range, q_range);
    k_cache = random_floats(rng, size_t{n} * kKvDim, -2, 2);
    v_cache = random_floats(rng, size_t{n} * kKvDim);
  }
  const float* key(uint32_t h, uint32_t p) const { return &k_cache[size_t{p} * kKvDim + (h / 8) * kHeadDim]; }
  const float* value(uint32_t h, uint32_t p) const { return &v_cache[size_t{p} * kKvDim + (h / 8) * kHeadDim]; }
  std::vector<double> reference() const {  // in double; scores must stay below ~700
    std::vector<double> out(heads * kHeadDim, 0.0);
    for (uint32_t h = 0; h < heads; ++h) {
      double sum = 0, *o = &out[h * kHeadDim];
      for (uint32_t p = 0; p < n; ++p) {
        double dot = 0;
        for (uint32_t d = 0; d < kHeadDim; ++d) dot += double(q[h * kHeadDim + d]) * key(h, p)[d];
        const double e = std::exp(kScale * dot);
        sum += e;
        for (uint32_t d = 0; d < kHeadDim; ++d) o[d] += e * value(h, p)[d];
      }
      for (uint32_t d = 0; d < kHeadDim; ++d) o[d] /= sum;
    }
    return out;
  }
};

// The kernels' arithmetic written out thread by thread: 8 SIMD groups, group
// s owning positions s, s + 8, ...; lane l owning dimensions 8l .. 8l + 7.
struct LaneOrderAttention {
  const AttentionCase& c;
  struct Group {
    float m = -1e30f, sum = 0;
    std::array<float, kHeadDim> o{};
  };
  using Record = std::array<float, kHeadDim + 2>;  // M, S, unnormalised output

  void fold(uint32_t h, uint32_t p, Group& g) const {
    std::array<float, 32> lanes;
    for (uint32_t l = 0; l < 32; ++l) {
      float dot = 0;
      for (uint32_t d = 8 * l; d < 8 * l + 8; ++d) dot += (kScale * 1.442695041f) * c.q[h * kHeadDim + d] * c.key(h, p)[d];
      lanes[l] = dot;
    }
    const float score = simd_group_sum(lanes), m = std::fmax(g.m, score);
    const float f = attention::exp2_fast(g.m - m), e = attention::exp2_fast(score - m);
    g.m = m;
    g.sum = g.sum * f + e;
    for (uint32_t d = 0; d < kHeadDim; ++d) g.o[d] = g.o[d] * f + e * c.value(h, p)[d];
  }
  Record merge(const std::array<Group, 8>& groups) const {
    Record rec{};
    std::array<float, 32> sums{};
    rec[0] = -1e30f;
    for (const auto& g : groups) rec[0] = std::fmax(rec[0], g.m);
    for (uint32_t s = 0; s < 8; ++s) {
      const float r = attention::exp2_fast(groups[s].m - rec[0]);
      sums[s] = groups[s].sum * r;
      for (uint32_t d = 0; d < kHeadDim; ++d) rec[2 + d] += groups[s].o[d] * r;
    }
    rec[1] = simd_group_sum(sums);
    return rec;
  }
  static void divide(const Record& rec, float* out) {
    for (uint32_t d = 0; d < kHeadDim; ++d) out[d] = rec[1] == 0 ? 0 : rec[2 + d] / rec[1];
  }
  Record block(uint32_t h, uint32_t first, uint32_t end) const {
    std::array<Group, 8> groups;
    for (uint32_t p = first; p < end; ++p) fold(h, p, groups[p % 8]);
    return merge(groups);
  }
  std::vector<float> fused() const {
    std::vector<float> out(c.heads * kHeadDim);
    for (uint32_t h = 0; h < c.heads; ++h) divide(block(h, 0, c.n), &out[h * kHeadDim]);
    return out;
  }
  std::vector<Record> partials(uint32_t blocks) const {
    std::vector<Record> recs;
    for (uint32_t h = 0; h < c.heads; ++h) {
      for (uint32_t b = 0; b < blocks; ++b) recs.push_back(block(h, 32 * b, std::min(c.n, 32 * b + 32)));
    }
    return recs;
  }
  std::vector<float> reduce(const std::vector<Record>& recs, uint32_t blocks) const {
    std::vector<float> out(c.heads * kHeadDim);
    for (uint32_t h = 0; h < c.heads; ++h) {
      const Record* own = &recs[h * blocks];
      float top = -1e30f;
      for (uint32_t b = 0; b < blocks; ++b) top = std::fmax(top, own[b][0]);
      std::array<Group, 8> groups;  // group s folds blocks s, s + 8, ..., rescaled to top
      for (uint32_t b = 0; b < blocks; ++b) {
        const float r = attention::exp2_fast(own[b][0] - top);
        groups[b % 8].sum += own[b][1] * r;
        for (uint32_t d = 0; d < kHeadDim; ++d) groups[b % 8].o[d] += own[b][2 + d] * r;
      }
      for (auto& g : groups) g.m = top;  // merging then rescales by exactly 1
      const Record rec = merge(groups);
      divide(rec, &out[h * kHeadDim]);
    }
    return out;
  }
};

TEST(AttentionKernels, SinglePassAndBlockedPairFollowTheLaneOrderOnEverySimdTarget) {
  struct Row {
    uint32_t n, heads;
    float q_range;  // 64: scores far apart, so maxima move and weights underflow
  };
  for (const Row row : {Row{1, 16, 2}, Row{7, 16, 2}, Row{32, 16, 2}, Row{33, 11, 2}, Row{300, 16, 64},
                        Row{1500, 16, 2}, Row{4096, 16, 2}}) {
    SCOPED_TRACE("seq_len " + std::to_string(row.n) + ", heads " + std::to_string(row.heads));
    const AttentionCase c(row.n, row.n, row.heads, row.q_range);
    const LaneOrderAttention lanes{c};
    const uint32_t blocks = (row.n - 1 + 32) / 32;  // as the engine passes it: (pos + 32) / 32
    const auto want_fused = lanes.fused();
    const auto want_partials = lanes.partials(blocks);
    const auto want_blocked = lanes.reduce(want_partials, blocks);
    // Leaving out one of 4096 positions would move an output by ~1/4096, far above this.
    if (row.q_range < 8) {
      const auto exact = c.reference();
      EXPECT_LT(max_error(want_fused, exact), 256 * kEps);
      EXPECT_LT(max_error(want_blocked, exact), 256 * kEps);
    }
    for_each_simd_target([&] {
      const uint32_t out_floats = row.heads * kHeadDim;
      std::vector<float> fused(out_floats, 99.0f), blocked = fused, partials(blocks * row.heads * 258, -7.0f);
      Dispatch("attn_sdpa_fused").bind(0, c.q).bind(1, c.k_cache).bind(2, c.v_cache).bind(3, fused).u32(4, row.n)
          .f32(5, kScale).grid(row.heads, 256).run();
      Dispatch("attn_sdpa_block").bind(0, c.q).bind(1, c.k_cache).bind(2, c.v_cache).bind(3, partials)
          .u32(4, row.n).u32(5, blocks).f32(6, kScale).grid(row.heads, 256, blocks).run();
      EXPECT_EQ(0, std::memcmp(partials.data(), want_partials.data(), partials.size() * 4)) << "block records";
      Dispatch("attn_sdpa_reduce").bind(0, partials).bind(1, blocked).u32(2, blocks).grid(row.heads, 256).run();
      EXPECT_EQ(0, std::memcmp(fused.data(), want_fused.data(), out_floats * 4)) << "single pass";
      EXPECT_EQ(0, std::memcmp(blocked.data(), want_blocked.data(), out_floats * 4)) << "blocked";
    });
  }
}

TEST(AttentionKernels, FastExp2IsWithinOneUlpAndExactAtZero) {
  int64_t worst = 0;
  for (float x = -126.0f; x <= 127.0f; x += 0.0009765625f * 1.37f) {
    const float want = static_cast<float>(std::exp2(double(x)));
    worst = std::max<int64_t>(worst, std::abs(int64_t{std::bit_cast<int32_t>(attention::exp2_fast(x))} -
                                              std::bit_cast<int32_t>(want)));
  }
  EXPECT_LE(worst, 1);
  struct Edge {
    float x, want;
  };
  for (const Edge e : {Edge{0.0f, 1.0f}, Edge{-0.0f, 1.0f}, Edge{1.0f, 2.0f}, Edge{-1e30f, 0.0f},
                       Edge{-126.6f, 0.0f}, Edge{127.5f, INFINITY}, Edge{-126.0f, 0x1p-126f}}) {
    EXPECT_EQ(attention::exp2_fast(e.x), e.want) << e.x;
  }
}

// Inputs on which the C library's expf misrounds (two of them only in its
// FMA variant): the gate and the softmax round e^x correctly there too.
TEST(AttentionKernels, GateAndSoftmaxRoundExpCorrectly) {
  // sigmoid(g) = 1 / (1 + e^-g), here with -g among the inputs.
  const std::vector<uint32_t> exponents = {0x4202422f, 0x425a4705, 0x418ecc5a, 0x40dc81b4};
  std::vector<float> x(exponents.size(), 1.0f), gate;
  for (uint32_t bits : exponents) gate.push_back(-std::bit_cast<float>(bits));
  Dispatch("sigmoid_gate").bind(0, x).bind(1, gate).u32(2, uint32_t(x.size())).grid(1, 256).run();
  for (size_t i = 0; i < x.size(); ++i) {
    const float want = 1.0f / (1.0f + testing_support::correctly_rounded_exp(-gate[i]));
    EXPECT_EQ(std::bit_cast<uint32_t>(x[i]), std::bit_cast<uint32_t>(want)) << std::hex << exponents[i];
  }
  // Scores {0, s} with e^s < 2^-25: the sum rounds to 1, so s's weight is e^s itself.
  const std::vector<uint32_t> below_max = {0xc27c65d9, 0xc1b7f7c1, 0xc1e4ff63, 0xc2293c15, 0xc2a2941b};
  std::vector<float> scores;
  for (uint32_t bits : below_max) scores.insert(scores.end(), {0.0f, std::bit_cast<float>(bits)});
  Dispatch("attn_softmax_batched").bind(0, scores).u32(1, 2).u32(2, 2).grid(uint32_t(below_max.size()), 256).run();
  for (size_t h = 0; h < below_max.size(); ++h) {
    EXPECT_EQ(scores[2 * h], 1.0f);
    const float want = testing_support::correctly_rounded_exp(std::bit_cast<float>(below_max[h]));
    EXPECT_EQ(std::bit_cast<uint32_t>(scores[2 * h + 1]), std::bit_cast<uint32_t>(want)) << std::hex << below_max[h];
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

  // 16 heads over 40 positions, rows of stride 64, 48 threadgroups per head
  // of 96 threads: thread t sums dimensions t, t + 96, t + 192 in order, and
  // the 3 SIMD groups' sums are summed as a SIMD group's lanes.
  constexpr uint32_t kSeq = 40, kStride = 64, kTgs = 48, kThreads = 96;
  AttentionCase c(kSeq, 4);
  auto lane_order_score = [&](uint32_t h, uint32_t p) {
    std::array<float, 32> groups{};
    for (uint32_t g = 0; g < kThreads / 32; ++g) {
      std::array<float, 32> lanes{};
      for (uint32_t l = 0; l < 32; ++l) {
        for (uint32_t d = 32 * g + l; d < kHeadDim; d += kThreads) lanes[l] += c.q[h * kHeadDim + d] * c.key(h, p)[d];
      }
      groups[g] = simd_group_sum(lanes);
    }
    return kScale * simd_group_sum(groups);
  };
  std::vector<float> scores(kHeads * kStride, 123.0f), out(kHeads * kHeadDim);
  Dispatch("attn_scores_batched").bind(0, c.q).bind(1, c.k_cache).bind(2, scores)
      .u32(3, kHeadDim).u32(4, kKvDim).u32(5, kSeq).u32(6, kStride).f32(7, kScale).u32(8, 8).u32(9, kTgs)
      .grid(kTgs * kHeads, kThreads).run();
  for (uint32_t i = 0; i < kHeads * kStride; ++i) {
    const float want = i % kStride >= kSeq ? 123.0f : lane_order_score(i / kStride, i % kStride);
    ASSERT_EQ(std::bit_cast<uint32_t>(scores[i]), std::bit_cast<uint32_t>(want)) << i;
  }
  Dispatch("attn_softmax_batched").bind(0, scores).u32(1, kSeq).u32(2, kStride).grid(kHeads, 256).run();
  Dispatch("attn_values_batched").bind(0, scores).bind(1, c.v_cache).bind(2, out)
      .u32(3, kHeadDim).u32(4, kKvDim).u32(5, kSeq).u32(6, kStride).u32(7, 8).grid(kHeads, kHeadDim).run();
  EXPECT_LT(max_error(out, c.reference()), 1e-5);
}

}  // namespace
}  // namespace varkel::metal::testing
