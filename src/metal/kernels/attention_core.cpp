#include "metal/kernels/attention_core.h"

#include <algorithm>

#include "metal/kernels/attention_kernel_common.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "metal/kernels/attention_core.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/cache_control.h"
#include "hwy/highway.h"

// Vectors only ever hold independent sums: one lane per query head in the
// scores and the softmax update, one lane per dimension in the outputs. Each
// lane's arithmetic is the scalar sequence, so every target agrees.
HWY_BEFORE_NAMESPACE();
namespace varkel::metal::attention::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

using DH = hn::CappedTag<float, kHeadsPerKv>;  // query heads of one key/value head
using VH = hn::Vec<DH>;
constexpr size_t kHeadLanes = hn::MaxLanes(DH());
constexpr size_t kHeadVecs = kHeadsPerKv / kHeadLanes;
using DD = hn::ScalableTag<float>;  // dimensions of an output row

// Positions of one group scored before their values are folded in: their
// value rows stay in L1 while every head's output streams over them. The
// rows lie 16 KB apart, in the same L1 sets: more than 8 would evict each
// other.
constexpr uint32_t kChunk = 8;

// exp2_fast lane by lane.
HWY_INLINE VH Exp2(VH x) {
  const DH d;
  const hn::RebindToSigned<DH> di;
  x = hn::IfThenElse(hn::Lt(x, hn::Set(d, kExp2Low)), hn::Set(d, kExp2Low), x);
  x = hn::IfThenElse(hn::Gt(x, hn::Set(d, kExp2High)), hn::Set(d, kExp2High), x);
  const auto shift = hn::Set(d, kRoundShift);
  const auto k = hn::Sub(hn::Add(x, shift), shift);
  const auto r = hn::Sub(x, k);
  auto p = hn::Set(d, kExp2Poly[0]);
  for (size_t i = 1; i < std::size(kExp2Poly); ++i) p = hn::Add(hn::Mul(p, r), hn::Set(d, kExp2Poly[i]));
  const auto bits = hn::ShiftLeft<23>(hn::Add(hn::ConvertTo(di, k), hn::Set(di, 127)));
  return hn::Mul(p, hn::BitCast(d, bits));
}

// The SIMD-group sum of the dot products of P key rows with the queries of
// heads v × kHeadLanes onwards, as simd_group_sum's shuffle-down tree: the lanes
// r, r + step, r + 2 step, ... summed. A lane's own part is its 8
// dimensions in order.
template <uint32_t kStep, size_t P>
HWY_INLINE void LaneTree(const float* HWY_RESTRICT qt, const float* const (&rows)[P], uint32_t lane, VH (&out)[P]) {
  if constexpr (kStep == 32) {
    const DH d;
    const uint32_t d0 = lane * kDimsPerLane;
    const VH q0 = hn::Load(d, qt + size_t{d0} * kHeadsPerKv);
    for (size_t p = 0; p < P; ++p) out[p] = hn::Mul(q0, hn::Set(d, rows[p][d0]));
    for (uint32_t j = 1; j < kDimsPerLane; ++j) {
      const VH q = hn::Load(d, qt + size_t{d0 + j} * kHeadsPerKv);
      for (size_t p = 0; p < P; ++p) out[p] = hn::Add(out[p], hn::Mul(q, hn::Set(d, rows[p][d0 + j])));
    }
  } else {
    VH low[P], high[P];
    LaneTree<2 * kStep>(qt, rows, lane, low);
    LaneTree<2 * kStep>(qt, rows, lane + kStep, high);
    for (size_t p = 0; p < P; ++p) out[p] = hn::Add(low[p], high[p]);
  }
}

// scores[p][i] for P rows and all kHeadsPerKv head lanes.
template <size_t P>
HWY_INLINE void Scores(const float* HWY_RESTRICT qt, const float* const (&rows)[P], float (*scores)[kHeadsPerKv]) {
  const DH d;
  for (size_t v = 0; v < kHeadVecs; ++v) {
    VH sums[P];
    LaneTree<1>(qt + v * kHeadLanes, rows, 0, sums);
    for (size_t p = 0; p < P; ++p) hn::StoreU(sums[p], d, scores[p] + v * kHeadLanes);
  }
}

// Scores of the rows first, first + step, ... (n of them) into scores[0 .. n).
HWY_INLINE void ScoreRows(const Queries& q, const float* K, size_t column, uint32_t first, uint32_t step, uint32_t n,
                          float (*scores)[kHeadsPerKv]) {
  const float* qt = &q.t[0][0];
  auto row = [&](uint32_t c) { return K + size_t{first + c * step} * kKvDim + column; };
  uint32_t c = 0;
  for (; c + 2 <= n; c += 2) {
    const float* rows[2] = {row(c), row(c + 1)};
    Scores<2>(qt, rows, scores + c);
  }
  if (c < n) {
    const float* rows[1] = {row(c)};
    Scores<1>(qt, rows, scores + c);
  }
}

// One SIMD group's running maximum and sum, a lane per query head.
struct Online {
  VH m[kHeadVecs], sum[kHeadVecs];
  Online(const float* m0, const float* s0) {
    const DH d;
    for (size_t v = 0; v < kHeadVecs; ++v) {
      m[v] = hn::Load(d, m0 + v * kHeadLanes);
      sum[v] = hn::Load(d, s0 + v * kHeadLanes);
    }
  }
};

// The softmax factors of a block's group: f[c] rescales what came before
// its position c, e[c] weighs that position's value row.
struct Factors {
  HWY_ALIGN float f[kBlockPositions / kGroups][kHeadsPerKv];
  HWY_ALIGN float e[kBlockPositions / kGroups][kHeadsPerKv];
};

// Steps the online state over one scored position: f rescales what came
// before it, e weighs its value row.
HWY_INLINE void UpdateOne(const float* HWY_RESTRICT scores, Online& st, float* HWY_RESTRICT f,
                          float* HWY_RESTRICT e) {
  const DH dh;
  for (size_t v = 0; v < kHeadVecs; ++v) {
    const VH s = hn::LoadU(dh, scores + v * kHeadLanes);
    const VH next = hn::IfThenElse(hn::Gt(s, st.m[v]), s, st.m[v]);
    // exp2 of an exact 0 is exactly 1: most positions leave every maximum.
    const VH drop = hn::Sub(st.m[v], next);
    const VH fv = hn::AllTrue(dh, hn::Eq(drop, hn::Zero(dh))) ? hn::Set(dh, 1.0f) : Exp2(drop);
    const VH ev = Exp2(hn::Sub(s, next));
    st.m[v] = next;
    st.sum[v] = hn::Add(hn::Mul(st.sum[v], fv), ev);
    hn::StoreU(fv, dh, f + v * kHeadLanes);
    hn::StoreU(ev, dh, e + v * kHeadLanes);
  }
}

// Copies the value rows first, first + step, ... (n of them) to packed[0 .. n).
// Rows of one head lie 2 KB (or, a group's, 16 KB) apart in the cache and
// so crowd into a few L1 sets: the heads that read them in turn would each
// fetch them again from L2. Packed, they stay in L1.
template <size_t kStride>
HWY_INLINE void PackRows(const float* V, size_t column, uint32_t first, uint32_t step, uint32_t n,
                         float (*packed)[kStride]) {
  const DD d;
  for (uint32_t c = 0; c < n; ++c) {
    const float* src = V + size_t{first + c * step} * kKvDim + column;
    for (size_t i = 0; i < kHeadDim; i += hn::Lanes(d)) hn::Store(hn::LoadU(d, src + i), d, packed[c] + i);
  }
}

void ScoreRange(const Queries& q, const float* K, size_t column, uint32_t first, uint32_t count, float* scores) {
  ScoreRows(q, K, column, first, 1, count, reinterpret_cast<float (*)[kHeadsPerKv]>(scores));
}

void FoldGroup(const float* scores, uint32_t first, uint32_t end, uint32_t heads, const float* V, size_t column,
               float* records, size_t record_stride) {
  const DH dh;
  const DD dd;
  const size_t N = hn::Lanes(dd);
  HWY_ALIGN float m0[kHeadsPerKv], s0[kHeadsPerKv] = {};
  std::fill(m0, m0 + kHeadsPerKv, kNoScore);
  Online st(m0, s0);
  HWY_ALIGN float f[kChunk][kHeadsPerKv], e[kChunk][kHeadsPerKv];
  HWY_ALIGN float values[kChunk][kHeadDim];
  // A group's rows lie 8 rows apart, too far for the hardware prefetchers.
  auto prefetch_rows = [&](uint32_t p) {
    for (uint32_t c = 0; c < kChunk && p + c * kGroups < end; ++c) {
      const float* r = V + size_t{p + c * kGroups} * kKvDim + column;
      for (uint32_t i = 0; i < kHeadDim; i += 64 / sizeof(float)) hwy::Prefetch(r + i);
    }
  };
  // Outputs start at zero: in registers for the first chunk, in memory
  // when the group has no position.
  if (first >= end) {
    for (uint32_t i = 0; i < heads; ++i) std::fill_n(records + i * record_stride + 2, kHeadDim, 0.0f);
  }
  prefetch_rows(first);
  for (uint32_t p0 = first; p0 < end; p0 += kChunk * kGroups) {
    const bool from_zero = p0 == first;
    const uint32_t n = std::min(kChunk, (end - p0 + kGroups - 1) / kGroups);
    if (end - p0 > kChunk * kGroups) prefetch_rows(p0 + kChunk * kGroups);
    for (uint32_t c = 0; c < n; ++c) UpdateOne(scores + size_t{p0 + c * kGroups} * kHeadsPerKv, st, f[c], e[c]);
    PackRows(V, column, p0, kGroups, n, values);
    // Each head's output stays in registers, 4 vectors at a time, while the
    // chunk's value rows stream by. A factor of exactly 1 leaves o as it is.
    for (uint32_t i = 0; i < heads; ++i) {
      float* out = records + i * record_stride + 2;
      for (size_t d0 = 0; d0 < kHeadDim; d0 += 4 * N) {
        auto o0 = hn::Zero(dd), o1 = hn::Zero(dd), o2 = hn::Zero(dd), o3 = hn::Zero(dd);
        if (!from_zero) {
          o0 = hn::LoadU(dd, out + d0), o1 = hn::LoadU(dd, out + d0 + N);
          o2 = hn::LoadU(dd, out + d0 + 2 * N), o3 = hn::LoadU(dd, out + d0 + 3 * N);
        }
        for (uint32_t c = 0; c < n; ++c) {
          if (f[c][i] != 1.0f) {
            const auto fv = hn::Set(dd, f[c][i]);
            o0 = hn::Mul(o0, fv);
            o1 = hn::Mul(o1, fv);
            o2 = hn::Mul(o2, fv);
            o3 = hn::Mul(o3, fv);
          }
          const auto ev = hn::Set(dd, e[c][i]);
          const float* val = values[c] + d0;
          o0 = hn::Add(o0, hn::Mul(ev, hn::LoadU(dd, val)));
          o1 = hn::Add(o1, hn::Mul(ev, hn::LoadU(dd, val + N)));
          o2 = hn::Add(o2, hn::Mul(ev, hn::LoadU(dd, val + 2 * N)));
          o3 = hn::Add(o3, hn::Mul(ev, hn::LoadU(dd, val + 3 * N)));
        }
        hn::StoreU(o0, dd, out + d0);
        hn::StoreU(o1, dd, out + d0 + N);
        hn::StoreU(o2, dd, out + d0 + 2 * N);
        hn::StoreU(o3, dd, out + d0 + 3 * N);
      }
    }
  }
  for (size_t v = 0; v < kHeadVecs; ++v) {
    hn::Store(st.m[v], dh, m0 + v * kHeadLanes);
    hn::Store(st.sum[v], dh, s0 + v * kHeadLanes);
  }
  for (uint32_t i = 0; i < heads; ++i) {
    records[i * record_stride] = m0[i];
    records[i * record_stride + 1] = s0[i];
  }
}

// acc = acc + x × r over kHeadDim floats.
HWY_INLINE void AddScaled(float* HWY_RESTRICT acc, const float* HWY_RESTRICT x, float r) {
  const DD d;
  const auto vr = hn::Set(d, r);
  for (size_t i = 0; i < kHeadDim; i += hn::Lanes(d)) {
    hn::StoreU(hn::Add(hn::LoadU(d, acc + i), hn::Mul(hn::LoadU(d, x + i), vr)), d, acc + i);
  }
}

// acc = acc + x over kHeadDim floats.
HWY_INLINE void AddRow(float* HWY_RESTRICT acc, const float* HWY_RESTRICT x) {
  const DD d;
  for (size_t i = 0; i < kHeadDim; i += hn::Lanes(d)) {
    hn::StoreU(hn::Add(hn::LoadU(d, acc + i), hn::LoadU(d, x + i)), d, acc + i);
  }
}

// The groups' outputs and sums are rescaled (each product rounded) and then
// added in group order, starting from 0.

void MergeGroups(const float* records, size_t stride, float* merged) {
  float top = kNoScore;
  for (uint32_t s = 0; s < kGroups; ++s) top = max_score(top, records[s * stride]);
  float sums[32] = {};
  float* out = merged + 2;
  std::fill(out, out + kHeadDim, 0.0f);
  for (uint32_t s = 0; s < kGroups; ++s) {
    const float* rec = records + s * stride;
    const float r = exp2_fast(rec[0] - top);
    sums[s] = rec[1] * r;
    AddScaled(out, rec + 2, r);
  }
  merged[0] = top;
  merged[1] = simd_group_sum(sums);
}

// The single-pass stages for each of the kGroups groups of a block, then
// merge_groups, with the merge folded in as each group finishes: the block
// maximum is the largest score, known once the block is scored.
void AttendBlock(const Queries& q, const float* K, const float* V, size_t column, uint32_t begin, uint32_t end,
                 float* merged, size_t merged_stride) {
  const DH dh;
  HWY_ALIGN float scores[kBlockPositions][kHeadsPerKv];
  const uint32_t n = std::min(kBlockPositions, end - begin);
  ScoreRows(q, K, column, begin, 1, n, scores);
  HWY_ALIGN float top[kHeadsPerKv];
  for (uint32_t i = 0; i < kHeadsPerKv; ++i) {
    top[i] = kNoScore;
    for (uint32_t c = 0; c < n; ++c) top[i] = max_score(top[i], scores[c][i]);
  }
  HWY_ALIGN float no_score[kHeadsPerKv], zero[kHeadsPerKv] = {}, r[kGroups][kHeadsPerKv], rescaled[kHeadsPerKv];
  float sums[kHeadsPerKv][32] = {};  // per head: the groups' rescaled sums, as SIMD-group lanes
  std::fill(no_score, no_score + kHeadsPerKv, kNoScore);
  Factors factors[kGroups];
  uint32_t counts[kGroups];
  for (uint32_t s = 0; s < kGroups; ++s) {
    Online st(no_score, zero);
    uint32_t count = 0;
    for (uint32_t c = s; c < n; c += kGroups, ++count) UpdateOne(scores[c], st, factors[s].f[count], factors[s].e[count]);
    counts[s] = count;
    for (size_t v = 0; v < kHeadVecs; ++v) {
      const VH rv = Exp2(hn::Sub(st.m[v], hn::Load(dh, top + v * kHeadLanes)));
      hn::Store(rv, dh, r[s] + v * kHeadLanes);
      hn::Store(hn::Mul(st.sum[v], rv), dh, rescaled + v * kHeadLanes);
    }
    for (uint32_t i = 0; i < q.heads; ++i) sums[i][s] = rescaled[i];
  }
  const DD dd;
  const size_t N = hn::Lanes(dd);
  HWY_ALIGN float values[kBlockPositions][kHeadDim];
  PackRows(V, column, begin, 1, n, values);
  // Per head and 4 vectors of dimensions: each group's output from 0 in
  // registers, then added, rescaled, to the merged output in group order.
  for (uint32_t i = 0; i < q.heads; ++i) {
    float* out = merged + i * merged_stride + 2;
    for (size_t d0 = 0; d0 < kHeadDim; d0 += 4 * N) {
      auto a0 = hn::Zero(dd), a1 = hn::Zero(dd), a2 = hn::Zero(dd), a3 = hn::Zero(dd);
      for (uint32_t s = 0; s < kGroups; ++s) {
        auto o0 = hn::Zero(dd), o1 = hn::Zero(dd), o2 = hn::Zero(dd), o3 = hn::Zero(dd);
        const Factors& k = factors[s];
        for (uint32_t c = 0; c < counts[s]; ++c) {
          if (k.f[c][i] != 1.0f) {
            const auto fv = hn::Set(dd, k.f[c][i]);
            o0 = hn::Mul(o0, fv);
            o1 = hn::Mul(o1, fv);
            o2 = hn::Mul(o2, fv);
            o3 = hn::Mul(o3, fv);
          }
          const auto ev = hn::Set(dd, k.e[c][i]);
          const float* val = values[s + c * kGroups] + d0;
          o0 = hn::Add(o0, hn::Mul(ev, hn::LoadU(dd, val)));
          o1 = hn::Add(o1, hn::Mul(ev, hn::LoadU(dd, val + N)));
          o2 = hn::Add(o2, hn::Mul(ev, hn::LoadU(dd, val + 2 * N)));
          o3 = hn::Add(o3, hn::Mul(ev, hn::LoadU(dd, val + 3 * N)));
        }
        const auto rv = hn::Set(dd, r[s][i]);
        a0 = hn::Add(a0, hn::Mul(o0, rv));
        a1 = hn::Add(a1, hn::Mul(o1, rv));
        a2 = hn::Add(a2, hn::Mul(o2, rv));
        a3 = hn::Add(a3, hn::Mul(o3, rv));
      }
      hn::StoreU(a0, dd, out + d0);
      hn::StoreU(a1, dd, out + d0 + N);
      hn::StoreU(a2, dd, out + d0 + 2 * N);
      hn::StoreU(a3, dd, out + d0 + 3 * N);
    }
  }
  for (uint32_t i = 0; i < q.heads; ++i) {
    merged[i * merged_stride] = top[i];
    merged[i * merged_stride + 1] = simd_group_sum(sums[i]);
  }
}

// normalize lane by lane: a division of each output by the sum.
void Normalize(const float* record, float* out) {
  const DD d;
  const float total = record[1];
  if (total == 0.0f) {
    std::fill(out, out + kHeadDim, 0.0f);
    return;
  }
  const auto vt = hn::Set(d, total);
  for (size_t i = 0; i < kHeadDim; i += hn::Lanes(d)) hn::StoreU(hn::Div(hn::LoadU(d, record + 2 + i), vt), d, out + i);
}

void ReduceBlocks(const float* records, uint32_t count, float* out) {
  float top = kNoScore;
  for (uint32_t b = 0; b < count; ++b) top = max_score(top, records[size_t{b} * kRecordFloats]);
  HWY_ALIGN float group_out[kHeadDim];
  float sums[32] = {};
  float merged[kRecordFloats] = {};
  for (uint32_t s = 0; s < kGroups; ++s) {
    std::fill(group_out, group_out + kHeadDim, 0.0f);
    float sum = 0.0f;
    for (uint32_t b = s; b < count; b += kGroups) {
      const float* rec = records + size_t{b} * kRecordFloats;
      const float r = exp2_fast(rec[0] - top);
      sum = sum + rec[1] * r;
      AddScaled(group_out, rec + 2, r);
    }
    sums[s] = sum;
    AddRow(merged + 2, group_out);
  }
  merged[1] = simd_group_sum(sums);
  Normalize(merged, out);
}

}  // namespace varkel::metal::attention::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace varkel::metal::attention {

HWY_EXPORT(ScoreRange);
HWY_EXPORT(FoldGroup);
HWY_EXPORT(MergeGroups);
HWY_EXPORT(AttendBlock);
HWY_EXPORT(ReduceBlocks);
HWY_EXPORT(Normalize);

Queries::Queries(const float* Q, std::size_t h0, uint32_t count, float scale) : heads(count) {
  const float s = scale * kLog2e;
  for (uint32_t d = 0; d < kHeadDim; ++d) {
    for (uint32_t i = 0; i < kHeadsPerKv; ++i) t[d][i] = i < count ? s * Q[(h0 + i) * kHeadDim + d] : 0.0f;
  }
}

void score_rows(const Queries& q, const float* K, std::size_t column, uint32_t first, uint32_t count,
                float* scores) {
  HWY_DYNAMIC_DISPATCH(ScoreRange)(q, K, column, first, count, scores);
}

void fold_group(const float* scores, uint32_t first, uint32_t end, uint32_t heads, const float* V, std::size_t column,
                float* records, std::size_t record_stride) {
  HWY_DYNAMIC_DISPATCH(FoldGroup)(scores, first, end, heads, V, column, records, record_stride);
}

void merge_groups(const float* records, std::size_t stride, float* merged) {
  HWY_DYNAMIC_DISPATCH(MergeGroups)(records, stride, merged);
}

void normalize(const float* record, float* out) { HWY_DYNAMIC_DISPATCH(Normalize)(record, out); }

void attend_block(const Queries& q, const float* K, const float* V, std::size_t column, uint32_t begin, uint32_t end,
                  float* merged, std::size_t merged_stride) {
  HWY_DYNAMIC_DISPATCH(AttendBlock)(q, K, V, column, begin, end, merged, merged_stride);
}

void reduce_blocks(const float* records, uint32_t count, float* out) {
  HWY_DYNAMIC_DISPATCH(ReduceBlocks)(records, count, out);
}

}  // namespace varkel::metal::attention
#endif
