// Full-attention kernels: per-head norm with rotary embedding, cache append,
// single-pass and blocked attention, the output gate and the three-kernel
// attention.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "math_util/pow_f32.h"
#include "math_util/sin_cos_f32.h"
#include "metal/kernel_abi.h"
#include "metal/kernels/activation_loops.h"
#include "metal/kernels/attention_core.h"
#include "metal/kernels/attention_kernel_common.h"

namespace varkel::metal {
namespace {

using namespace attention;
using grid::Check;
using namespace params;

// ---- head norm with rotary embedding ----

constexpr uint32_t kMaxNormHeadDim = 256;  // the kernels' threadgroup array

struct RopeArgs {
  uint32_t head_dim, rotary_dim, pos;
  float theta, eps;
};

// cos and sin of θ_i = pos × theta^(−2i / rotary_dim) for i ≤ rotary_dim / 2.
// Correctly rounded pow, cos and sin of our own: the C library's differ by an
// ulp between its FMA and plain variants, picked by CPU.
struct RopeTable {
  float cos[kMaxNormHeadDim / 2 + 1];
  float sin[kMaxNormHeadDim / 2 + 1];
  uint32_t rotary_dim = 0, pos = 0, theta_bits = 0;
  bool filled = false;

  void fill(const RopeArgs& a) {
    for (uint32_t i = 0; i <= a.rotary_dim / 2; ++i) {
      const float exponent = -2.0f * static_cast<float>(i) / static_cast<float>(a.rotary_dim);
      const float angle = static_cast<float>(a.pos) * pow_f32(a.theta, exponent);
      cos[i] = cos_f32(angle);
      sin[i] = sin_f32(angle);
    }
    rotary_dim = a.rotary_dim, pos = a.pos, theta_bits = std::bit_cast<uint32_t>(a.theta), filled = true;
  }
};

// The table of this thread's last dispatch, refilled when its arguments
// change: a token's q and k norms in every layer share one position, and
// each table costs a hundred correctly rounded pow, cos and sin.
const RopeTable& rope_table(const RopeArgs& a) {
  thread_local RopeTable table;
  if (!table.filled || table.rotary_dim != a.rotary_dim || table.pos != a.pos ||
      table.theta_bits != std::bit_cast<uint32_t>(a.theta)) {
    table.fill(a);
  }
  return table;
}

// One head normalised by `inv` and rotated: every raw value is read before
// any is written, so `out` may be `in`.
void rope_head(const float* in, float inv, const uint16_t* w, float* out, const RopeArgs& a, const RopeTable& rope) {
  float raw[kMaxNormHeadDim];
  std::memcpy(raw, in, a.head_dim * sizeof(float));
  const uint32_t half = a.rotary_dim / 2;
  // The partner's value is normalised as (raw × inv) × w, the own one as raw × (inv × w).
  auto partner = [&](uint32_t j) { return (raw[j] * inv) * bf16_to_f32(w[j]); };
  for (uint32_t t = 0; t < a.head_dim; ++t) {
    const float n = raw[t] * (inv * bf16_to_f32(w[t]));
    if (t < half) {
      out[t] = n * rope.cos[t] - partner(t + half) * rope.sin[t];
    } else if (t < a.rotary_dim) {
      const uint32_t j = t - half;
      out[t] = partner(j) * rope.sin[j] + n * rope.cos[j];
    } else {
      out[t] = n;
    }
  }
}

// Heads h0 .. h0 + count − 1 of `in` (heads `stride` floats apart) into
// out(h): their norms first, kRmsChains at a time, then each rotated.
template <class Out>
void norm_rope_heads(const float* in, size_t stride, uint32_t heads, const uint16_t* w, Out out, const RopeArgs& a,
                     const RopeTable& rope) {
  float inv[kRmsChains];
  for (uint32_t h0 = 0; h0 < heads; h0 += kRmsChains) {
    const uint32_t count = std::min(kRmsChains, heads - h0);
    inv_rms_heads(in + h0 * stride, stride, count, a.head_dim, a.eps, inv);
    for (uint32_t i = 0; i < count; ++i) rope_head(in + (h0 + i) * stride, inv[i], w, out(h0 + i), a, rope);
  }
}

Check check_norm_rope(std::string_view kernel, const DispatchArgs& args, const RopeArgs& a) {
  if (auto c = grid::one_dimensional(kernel, args)) return c;
  if (a.head_dim == 0 || a.head_dim > kMaxNormHeadDim) {
    return grid::fail(kernel, fmt::format("head_dim {} outside 1..{}", a.head_dim, kMaxNormHeadDim));
  }
  if (a.rotary_dim > a.head_dim) {
    return grid::fail(kernel, fmt::format("rotary_dim {} exceeds head_dim {}", a.rotary_dim, a.head_dim));
  }
  return grid::threads_per_group(kernel, args, a.head_dim);
}

constexpr std::string_view kQNorm = "q_head_norm_rope";

RopeArgs q_rope_args(const DispatchArgs& args) {
  return {args.u32(4), args.u32(5), args.u32(7), args.f32(6), args.f32(8)};
}

Check validate_q_head_norm_rope(const DispatchArgs& args) {
  const RopeArgs a = q_rope_args(args);
  if (auto c = check_norm_rope(kQNorm, args, a)) return c;
  const uint64_t heads = args.grid.threadgroups[0];
  return grid::first({grid::floats(kQNorm, args, 0, heads * 2 * a.head_dim), grid::halves(kQNorm, args, 1, a.head_dim),
                      grid::floats(kQNorm, args, 2, heads * a.head_dim),
                      grid::floats(kQNorm, args, 3, heads * a.head_dim)});
}

void run_q_head_norm_rope(const DispatchArgs& args) {
  const RopeArgs a = q_rope_args(args);
  const RopeTable& rope = rope_table(a);
  const uint32_t heads = args.grid.threadgroups[0];
  const float* q_proj = args.buffer<const float>(0);
  const uint16_t* w = args.buffer<const uint16_t>(1);
  float* q_out = args.buffer<float>(2);
  float* gate_out = args.buffer<float>(3);
  const size_t hd = a.head_dim;
  const size_t out_bytes = heads * hd * sizeof(float);
  // The gates are copied first and the norms run kRmsChains heads at a time
  // when no write lands on anything read or written for another head.
  if (disjoint(q_proj, 2 * out_bytes, q_out, out_bytes) && disjoint(q_proj, 2 * out_bytes, gate_out, out_bytes) &&
      disjoint(q_out, out_bytes, gate_out, out_bytes)) {
    for (size_t h = 0; h < heads; ++h) std::memmove(gate_out + h * hd, q_proj + (2 * h + 1) * hd, hd * sizeof(float));
    norm_rope_heads(q_proj, 2 * hd, heads, w, [&](size_t h) { return q_out + h * hd; }, a, rope);
    return;
  }
  // Each head sees what the ones before it wrote.
  for (size_t h = 0; h < heads; ++h) {
    const float* head = q_proj + h * 2 * hd;
    std::memmove(gate_out + h * hd, head + hd, hd * sizeof(float));
    norm_rope_heads(head, 2 * hd, 1, w, [&](size_t) { return q_out + h * hd; }, a, rope);
  }
}

constexpr std::string_view kKNorm = "k_head_norm_rope";

RopeArgs k_rope_args(const DispatchArgs& args) {
  return {args.u32(2), args.u32(3), args.u32(5), args.f32(4), args.f32(6)};
}

Check validate_k_head_norm_rope(const DispatchArgs& args) {
  const RopeArgs a = k_rope_args(args);
  if (auto c = check_norm_rope(kKNorm, args, a)) return c;
  const uint64_t heads = args.grid.threadgroups[0];
  return grid::first({grid::floats(kKNorm, args, 0, heads * a.head_dim), grid::halves(kKNorm, args, 1, a.head_dim)});
}

void run_k_head_norm_rope(const DispatchArgs& args) {
  const RopeArgs a = k_rope_args(args);
  const RopeTable& rope = rope_table(a);
  float* k = args.buffer<float>(0);
  const uint16_t* w = args.buffer<const uint16_t>(1);
  // In place: each head's values are its own.
  norm_rope_heads(k, a.head_dim, args.grid.threadgroups[0], w, [&](size_t h) { return k + h * a.head_dim; }, a, rope);
}

// ---- cache append ----

constexpr std::string_view kAppend = "kv_cache_append";

uint64_t append_count(const DispatchArgs& args) { return std::min<uint64_t>(grid::threads(args), args.u32(5)); }

Check validate_kv_cache_append(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kAppend, args)) return c;
  const uint64_t n = append_count(args);
  if (n == 0) return std::nullopt;
  const uint64_t end = uint64_t{args.u32(4)} * args.u32(5) + n;
  return grid::first({grid::floats(kAppend, args, 0, n), grid::floats(kAppend, args, 1, n),
                      grid::floats(kAppend, args, 2, end), grid::floats(kAppend, args, 3, end)});
}

void run_kv_cache_append(const DispatchArgs& args) {
  const uint64_t n = append_count(args);
  const size_t row = size_t{args.u32(4)} * args.u32(5);
  std::memmove(args.buffer<float>(2) + row, args.buffer<const float>(0), n * sizeof(float));
  std::memmove(args.buffer<float>(3) + row, args.buffer<const float>(1), n * sizeof(float));
}

// ---- single-pass and blocked attention ----

// Floats of the key or value cache that heads 0 .. heads − 1 read over positions below `positions`.
uint64_t cache_floats(uint64_t heads, uint64_t positions) {
  if (heads == 0 || positions == 0) return 0;
  return (positions - 1) * kKvDim + (heads - 1) / kHeadsPerKv * kHeadDim + kHeadDim;
}

Check check_attention_grid(std::string_view kernel, const DispatchArgs& args) {
  const auto& g = args.grid;
  if (g.threadgroups[2] != 1 || g.threads_per_threadgroup[1] != 1 || g.threads_per_threadgroup[2] != 1) {
    return grid::fail(kernel, "threadgroups must be (heads, blocks, 1) of (256, 1, 1) threads");
  }
  return grid::threads_per_group(kernel, args, kHeadDim);
}

// The scaled, transposed queries of each key/value head's query heads.
std::vector<Queries> queries_by_kv_head(const float* Q, uint32_t heads, float scale) {
  std::vector<Queries> out;
  out.reserve((heads + kHeadsPerKv - 1) / kHeadsPerKv);
  for (uint32_t h0 = 0; h0 < heads; h0 += kHeadsPerKv) out.emplace_back(Q, h0, std::min(kHeadsPerKv, heads - h0), scale);
  return out;
}

constexpr std::string_view kFused = "attn_sdpa_fused";
// Below this many positions one thread does all the heads' groups.
constexpr uint32_t kParallelPositions = 256;
constexpr uint32_t kScoreRun = 64;  // positions scored per item

Check validate_attn_sdpa_fused(const DispatchArgs& args) {
  if (auto c = check_attention_grid(kFused, args)) return c;
  if (args.grid.threadgroups[1] != 1) return grid::fail(kFused, "one threadgroup per query head, in x only");
  const uint64_t heads = args.grid.threadgroups[0];
  const uint64_t cache = cache_floats(heads, args.u32(4));
  return grid::first({grid::floats(kFused, args, 0, heads * kHeadDim), grid::floats(kFused, args, 1, cache),
                      grid::floats(kFused, args, 2, cache), grid::floats(kFused, args, 3, heads * kHeadDim)});
}

void run_attn_sdpa_fused(const DispatchArgs& args) {
  const uint32_t heads = args.grid.threadgroups[0];
  const uint32_t seq_len = args.u32(4);
  const float* K = args.buffer<const float>(1);
  const float* V = args.buffer<const float>(2);
  float* output = args.buffer<float>(3);
  const auto queries = queries_by_kv_head(args.buffer<const float>(0), heads, args.f32(5));
  const uint32_t kv_heads = static_cast<uint32_t>(queries.size());
  // Per key/value head: the scores of every position (8 head lanes each)
  // and the records of (SIMD group, query head).
  const size_t lanes = size_t{seq_len} * kHeadsPerKv;
  constexpr size_t kGroupStride = size_t{kHeadsPerKv} * kRecordFloats;
  constexpr size_t kKvRecords = kGroups * kGroupStride;
  thread_local std::vector<float> scratch;
  scratch.resize(kv_heads * (lanes + kKvRecords));
  float* scores = scratch.data();
  float* recs = scores + kv_heads * lanes;
  const bool parallel = seq_len >= kParallelPositions;
  // The rows are scored in runs of contiguous rows, many items for the
  // workers to share; then each group folds its positions, 8 rows apart.
  const uint32_t runs = (seq_len + kScoreRun - 1) / kScoreRun;
  for_each_item(kv_heads * runs, parallel, [&](uint32_t item) {
    const uint32_t kv = item / runs, p0 = item % runs * kScoreRun;
    score_rows(queries[kv], K, size_t{kv} * kHeadDim, p0, std::min(kScoreRun, seq_len - p0),
               scores + kv * lanes + size_t{p0} * kHeadsPerKv);
  });
  for_each_item(kv_heads * kGroups, parallel, [&](uint32_t group) {
    const uint32_t kv = group / kGroups;
    fold_group(scores + kv * lanes, group % kGroups, seq_len, queries[kv].heads, V, size_t{kv} * kHeadDim,
               recs + group * kGroupStride, kRecordFloats);
  });
  float merged[kRecordFloats];
  for (uint32_t h = 0; h < heads; ++h) {
    const uint32_t kv = h / kHeadsPerKv;
    merge_groups(recs + kv * kKvRecords + (h % kHeadsPerKv) * kRecordFloats, kGroupStride, merged);
    normalize(merged, output + size_t{h} * kHeadDim);
  }
}

constexpr std::string_view kBlock = "attn_sdpa_block";

// Blocks that hold at least one position; the others end at once.
uint32_t active_blocks(const DispatchArgs& args) {
  const uint64_t used = (uint64_t{args.u32(4)} + kBlockPositions - 1) / kBlockPositions;
  return static_cast<uint32_t>(std::min<uint64_t>(args.grid.threadgroups[1], used));
}

Check validate_attn_sdpa_block(const DispatchArgs& args) {
  if (auto c = check_attention_grid(kBlock, args)) return c;
  const uint64_t heads = args.grid.threadgroups[0];
  const uint32_t blocks = active_blocks(args);
  const uint32_t num_blocks = args.u32(5);
  if (heads == 0 || blocks == 0) return std::nullopt;
  if (blocks > num_blocks) {
    return grid::fail(kBlock,
                      fmt::format("{} working blocks overlap the records of {} blocks per head", blocks, num_blocks));
  }
  const uint64_t positions = std::min<uint64_t>(args.u32(4), uint64_t{blocks} * kBlockPositions);
  const uint64_t cache = cache_floats(heads, positions);
  const uint64_t last_record = (heads - 1) * num_blocks + (blocks - 1);
  return grid::first({grid::floats(kBlock, args, 0, heads * kHeadDim), grid::floats(kBlock, args, 1, cache),
                      grid::floats(kBlock, args, 2, cache),
                      grid::floats(kBlock, args, 3, (last_record + 1) * kRecordFloats)});
}

void run_attn_sdpa_block(const DispatchArgs& args) {
  const uint32_t heads = args.grid.threadgroups[0];
  const uint32_t blocks = active_blocks(args);
  const uint32_t seq_len = args.u32(4);
  const uint32_t num_blocks = args.u32(5);
  const float* Q = args.buffer<const float>(0);
  const float* K = args.buffer<const float>(1);
  const float* V = args.buffer<const float>(2);
  float* partials = args.buffer<float>(3);
  const uint32_t kv_heads = (heads + kHeadsPerKv - 1) / kHeadsPerKv;
  const uint32_t items = kv_heads * blocks;
  const auto queries = queries_by_kv_head(Q, heads, args.f32(6));
  // Each item is one block of one key/value head for all its query heads, so
  // those heads read the block's rows once.
  for_each_item(items, uint64_t{items} * kBlockPositions >= 1024, [&](uint32_t item) {
    const uint32_t b = item / kv_heads;
    const uint32_t h0 = (item % kv_heads) * kHeadsPerKv;
    const Queries& q = queries[h0 / kHeadsPerKv];
    const uint32_t begin = b * kBlockPositions;
    attend_block(q, K, V, size_t{h0 / kHeadsPerKv} * kHeadDim, begin, std::min(seq_len, begin + kBlockPositions),
                 partials + (size_t{h0} * num_blocks + b) * kRecordFloats, size_t{num_blocks} * kRecordFloats);
  });
}

constexpr std::string_view kReduce = "attn_sdpa_reduce";

Check validate_attn_sdpa_reduce(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kReduce, args)) return c;
  if (auto c = grid::threads_per_group(kReduce, args, kHeadDim)) return c;
  const uint64_t heads = args.grid.threadgroups[0];
  return grid::first({grid::floats(kReduce, args, 0, heads * args.u32(2) * kRecordFloats),
                      grid::floats(kReduce, args, 1, heads * kHeadDim)});
}

void run_attn_sdpa_reduce(const DispatchArgs& args) {
  const uint32_t heads = args.grid.threadgroups[0];
  const uint32_t num_blocks = args.u32(2);
  const float* partials = args.buffer<const float>(0);
  float* output = args.buffer<float>(1);
  for_each_item(heads, uint64_t{heads} * num_blocks >= 512, [&](uint32_t h) {
    reduce_blocks(partials + size_t{h} * num_blocks * kRecordFloats, num_blocks, output + size_t{h} * kHeadDim);
  });
}

// ---- output gate ----

constexpr std::string_view kGate = "sigmoid_gate";

uint64_t gate_count(const DispatchArgs& args) { return std::min<uint64_t>(grid::threads(args), args.u32(2)); }

Check validate_sigmoid_gate(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kGate, args)) return c;
  const uint64_t n = gate_count(args);
  return grid::first({grid::floats(kGate, args, 0, n), grid::floats(kGate, args, 1, n)});
}

void run_sigmoid_gate(const DispatchArgs& args) {
  float* x = args.buffer<float>(0);
  const float* gate = args.buffer<const float>(1);
  const uint64_t n = gate_count(args);
  // On the calling thread: it follows the attention, whose short passes
  // leave the workers asleep, and waking them costs more than the loop.
  activation_loops::times_sigmoid(x, gate, n);
}

// ---- three-kernel attention ----

constexpr std::string_view kScores = "attn_scores_batched";

struct ScoresArgs {
  uint32_t head_dim, kv_dim, seq_len, seq_stride, heads_per_kv, num_seq_tgs;
  float scale;
  explicit ScoresArgs(const DispatchArgs& a)
      : head_dim(a.u32(3)),
        kv_dim(a.u32(4)),
        seq_len(a.u32(5)),
        seq_stride(a.u32(6)),
        heads_per_kv(a.u32(8)),
        num_seq_tgs(a.u32(9)),
        scale(a.f32(7)) {}
};

Check validate_attn_scores_batched(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kScores, args)) return c;
  if (auto c = grid::threadgroup_size(kScores, args)) return c;
  const ScoresArgs a(args);
  if (a.num_seq_tgs == 0 || a.heads_per_kv == 0) {
    return grid::fail(kScores, "num_seq_tgs and heads_per_kv must be non-zero");
  }
  const uint64_t groups = args.grid.threadgroups[0];
  const uint64_t live = std::min(a.num_seq_tgs, a.seq_len);  // positions per head that do work
  if (groups == 0 || live == 0) return std::nullopt;
  const uint64_t last_head = (groups - 1) / a.num_seq_tgs;
  const uint64_t last_pos = std::min(live - 1, (groups - 1) % a.num_seq_tgs);
  const uint64_t max_pos = last_head > 0 ? live - 1 : last_pos;
  const uint64_t max_score =
      std::max(last_head * a.seq_stride + last_pos, last_head > 0 ? (last_head - 1) * a.seq_stride + live - 1 : 0);
  const uint64_t key = max_pos * a.kv_dim + last_head / a.heads_per_kv * a.head_dim + a.head_dim;
  return grid::first({grid::floats(kScores, args, 0, (last_head + 1) * a.head_dim), grid::floats(kScores, args, 1, key),
                      grid::floats(kScores, args, 2, max_score + 1)});
}

void run_attn_scores_batched(const DispatchArgs& args) {
  const ScoresArgs a(args);
  const float* Q = args.buffer<const float>(0);
  const float* K = args.buffer<const float>(1);
  float* scores = args.buffer<float>(2);
  // Thread t of the threadgroup sums dimensions t, t + threads, ... in order.
  const uint32_t threads = args.grid.threads_per_threadgroup[0];
  std::vector<float> partial(threads);
  for (uint64_t tg = 0; tg < args.grid.threadgroups[0]; ++tg) {
    const uint64_t h = tg / a.num_seq_tgs, p = tg % a.num_seq_tgs;
    if (p >= a.seq_len) continue;
    const float* q = Q + h * a.head_dim;
    const float* k = K + p * a.kv_dim + h / a.heads_per_kv * a.head_dim;
    for (uint32_t t = 0; t < threads; ++t) {
      float dot = 0.0f;
      for (uint32_t d = t; d < a.head_dim; d += threads) dot += q[d] * k[d];
      partial[t] = dot;
    }
    scores[h * a.seq_stride + p] = a.scale * threadgroup_sum(partial.data(), threads);
  }
}

constexpr std::string_view kSoftmax = "attn_softmax_batched";

Check validate_attn_softmax_batched(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kSoftmax, args)) return c;
  const uint64_t heads = args.grid.threadgroups[0];
  const uint32_t seq_len = args.u32(1);
  if (heads == 0 || seq_len == 0) return std::nullopt;
  return grid::floats(kSoftmax, args, 0, (heads - 1) * args.u32(2) + seq_len);
}

void run_attn_softmax_batched(const DispatchArgs& args) {
  const uint32_t seq_len = args.u32(1);
  if (seq_len == 0) return;
  for (uint64_t h = 0; h < args.grid.threadgroups[0]; ++h) {
    float* s = args.buffer<float>(0) + h * args.u32(2);
    float m = kNoScore;
    for (uint32_t p = 0; p < seq_len; ++p) m = std::max(m, s[p]);
    float sum = 0.0f;
    for (uint32_t p = 0; p < seq_len; ++p) {
      s[p] = exp_f32(s[p] - m);
      sum += s[p];
    }
    const float inv = 1.0f / sum;
    for (uint32_t p = 0; p < seq_len; ++p) s[p] = s[p] * inv;
  }
}

constexpr std::string_view kValues = "attn_values_batched";

struct ValuesArgs {
  uint32_t head_dim, kv_dim, seq_len, seq_stride, heads_per_kv;
  explicit ValuesArgs(const DispatchArgs& a)
      : head_dim(a.u32(3)), kv_dim(a.u32(4)), seq_len(a.u32(5)), seq_stride(a.u32(6)), heads_per_kv(a.u32(7)) {}
};

Check validate_attn_values_batched(const DispatchArgs& args) {
  if (auto c = grid::one_dimensional(kValues, args)) return c;
  const ValuesArgs a(args);
  if (a.head_dim == 0 || a.heads_per_kv == 0) return grid::fail(kValues, "head_dim and heads_per_kv must be non-zero");
  const uint64_t threads = grid::threads(args);
  if (threads == 0) return std::nullopt;
  if (auto c = grid::floats(kValues, args, 2, threads)) return c;
  if (a.seq_len == 0) return std::nullopt;
  const uint64_t last_head = (threads - 1) / a.head_dim;
  // Highest value column: the last thread's, or the previous head's last dimension.
  uint64_t column = last_head / a.heads_per_kv * a.head_dim + (threads - 1) % a.head_dim;
  if (last_head > 0) column = std::max(column, (last_head - 1) / a.heads_per_kv * a.head_dim + a.head_dim - 1);
  return grid::first({grid::floats(kValues, args, 0, last_head * a.seq_stride + a.seq_len),
                      grid::floats(kValues, args, 1, uint64_t{a.seq_len - 1} * a.kv_dim + column + 1)});
}

void run_attn_values_batched(const DispatchArgs& args) {
  const ValuesArgs a(args);
  const float* scores = args.buffer<const float>(0);
  const float* V = args.buffer<const float>(1);
  float* out = args.buffer<float>(2);
  const uint64_t threads = grid::threads(args);
  for (uint64_t t = 0; t < threads; ++t) {
    const uint64_t h = t / a.head_dim, d = t % a.head_dim;
    const float* s = scores + h * a.seq_stride;
    const float* v = V + h / a.heads_per_kv * a.head_dim + d;
    float sum = 0.0f;
    for (uint64_t p = 0; p < a.seq_len; ++p) sum += s[p] * v[p * a.kv_dim];
    out[t] = sum;
  }
}

}  // namespace

void append_attention_kernels(std::vector<KernelImpl>& out) {
  const auto half = ElementType::Ushort;
  out.push_back({kQNorm,
                 {buf("q_proj", 0), buf("q_norm_w", 1, half), rw("q_out", 2), rw("q_gate_out", 3), u32("head_dim", 4),
                  u32("rotary_dim", 5), f32("rope_theta", 6), u32("pos", 7), f32("eps", 8)},
                 validate_q_head_norm_rope,
                 run_q_head_norm_rope});
  out.push_back({kKNorm,
                 {rw("k_buf", 0), buf("k_norm_w", 1, half), u32("head_dim", 2), u32("rotary_dim", 3),
                  f32("rope_theta", 4), u32("pos", 5), f32("eps", 6)},
                 validate_k_head_norm_rope,
                 run_k_head_norm_rope});
  out.push_back({kAppend,
                 {buf("k", 0), buf("v", 1), rw("k_cache", 2), rw("v_cache", 3), u32("pos", 4), u32("kv_dim", 5)},
                 validate_kv_cache_append,
                 run_kv_cache_append});
  out.push_back(
      {kFused,
       {buf("Q", 0), buf("K_cache", 1), buf("V_cache", 2), rw("output", 3), u32("seq_len", 4), f32("scale", 5)},
       validate_attn_sdpa_fused,
       run_attn_sdpa_fused});
  out.push_back({kBlock,
                 {buf("Q", 0), buf("K_cache", 1), buf("V_cache", 2), rw("partials", 3), u32("seq_len", 4),
                  u32("num_blocks", 5), f32("scale", 6)},
                 validate_attn_sdpa_block,
                 run_attn_sdpa_block});
  out.push_back({kReduce,
                 {buf("partials", 0), rw("output", 1), u32("num_blocks", 2)},
                 validate_attn_sdpa_reduce,
                 run_attn_sdpa_reduce});
  out.push_back({kGate, {rw("x_out", 0), buf("gate", 1), u32("dim", 2)}, validate_sigmoid_gate, run_sigmoid_gate});
  out.push_back(
      {kScores,
       {buf("Q", 0), buf("K_cache", 1), rw("scores", 2), u32("head_dim", 3), u32("kv_dim", 4), u32("seq_len", 5),
        u32("seq_stride", 6), f32("scale", 7), u32("heads_per_kv", 8), u32("num_seq_tgs", 9)},
       validate_attn_scores_batched,
       run_attn_scores_batched});
  out.push_back({kSoftmax,
                 {rw("scores", 0), u32("seq_len", 1), u32("seq_stride", 2)},
                 validate_attn_softmax_batched,
                 run_attn_softmax_batched});
  out.push_back({kValues,
                 {buf("scores", 0), buf("V_cache", 1), rw("out", 2), u32("head_dim", 3), u32("kv_dim", 4),
                  u32("seq_len", 5), u32("seq_stride", 6), u32("heads_per_kv", 7)},
                 validate_attn_values_batched,
                 run_attn_values_batched});
}

}  // namespace varkel::metal
