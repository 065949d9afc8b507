#pragma once
// Softmax-weighted attention over cached rows, shared by the single-pass and
// blocked attention kernels, in the arithmetic of a threadgroup of 8 SIMD
// groups: group s owns the positions ≡ s (mod 8) of its range and keeps its
// own online softmax; lane l owns dimensions 8l .. 8l + 7. Scores are base 2:
// queries arrive scaled by scale × log2(e), so exp2 of a score difference is
// the softmax weight. Every sum runs in one fixed order, so each SIMD target
// gives the same bits.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace varkel::metal::attention {

inline constexpr uint32_t kHeadDim = 256;
inline constexpr uint32_t kKvDim = 512;  // one cache row: both key/value heads
inline constexpr uint32_t kHeadsPerKv = 8;
inline constexpr uint32_t kGroups = 8;  // SIMD groups of a threadgroup
inline constexpr uint32_t kDimsPerLane = kHeadDim / 32;
inline constexpr uint32_t kBlockPositions = 32;  // positions per block of the blocked pass
inline constexpr uint32_t kRecordFloats = kHeadDim + 2;  // max, sum, unnormalised output
inline constexpr float kLog2e = 1.442695041f;
inline constexpr float kNoScore = -1e30f;  // running maximum before any position

// exp2 as fast GPU math computes it, from adds and multiplies only, so the
// scalar form here and the vector form in the kernels agree bit for bit on
// every target and need no libm: 2^round(x) times a degree-7 polynomial of
// the rest in [-0.5, 0.5]. Within 1 ulp of 2^x from -126 to 127.5; 0
// below -126.5 (2^k is never a denormal), +inf from 127.5 on, exactly 1 at 0.
inline constexpr float kExp2Low = -127.0f, kExp2High = 128.0f;
inline constexpr float kRoundShift = 0x1.8p23f;  // x + shift − shift rounds x to an integer
// ln(2)^n / n!, highest power first.
inline constexpr float kExp2Poly[] = {1.525273380405984e-5f, 1.5403530393381606e-4f, 1.3333558146428443e-3f,
                                      9.618129107628477e-3f, 5.550410866482158e-2f,  0.2402265069591007f,
                                      0.6931471805599453f,   1.0f};

inline float exp2_fast(float x) {
  x = x < kExp2Low ? kExp2Low : x;
  x = x > kExp2High ? kExp2High : x;
  const float k = (x + kRoundShift) - kRoundShift;
  const float r = x - k;
  float p = kExp2Poly[0];
  for (std::size_t i = 1; i < std::size(kExp2Poly); ++i) p = p * r + kExp2Poly[i];
  const int32_t e = k == k ? static_cast<int32_t>(k) : 0;  // NaN stays NaN through p
  return p * std::bit_cast<float>(static_cast<uint32_t>(e + 127) << 23);
}

// The larger of the running maximum and a score, as the GPU's max keeps the
// running value when the score is NaN.
inline float max_score(float running, float score) { return score > running ? score : running; }

// A record is one query head's online softmax state: running maximum,
// running sum and the unnormalised weighted sum of value rows.

// The scaled queries of up to kHeadsPerKv query heads that share one
// key/value head, transposed: t[d][i] = (scale × log2(e)) × Q[h0 + i][d],
// zero for lanes at and past `heads`.
struct Queries {
  alignas(64) float t[kHeadDim][kHeadsPerKv];
  uint32_t heads;
  Queries(const float* Q, std::size_t h0, uint32_t heads, float scale);
};

// The single-pass kernel in two stages, each parallel over its own items,
// together the arithmetic of SIMD group s folding positions s, s + 8, ...
// in order. Per position and head: score = the SIMD-group sum of the lanes'
// in-order dot products over their 8 dimensions; m' = max(m, score);
// f = exp2(m − m'); e = exp2(score − m'); sum = sum × f + e;
// o = o × f + e × V[p]. Scores are indexed by position, 8 head lanes each;
// key and value rows are read at X[p × kKvDim + column ..].

// Scores of positions [first, first + count) into scores[p − first][i].
void score_rows(const Queries& q, const float* K, std::size_t column, uint32_t first, uint32_t count,
                float* scores);

// One group's positions first, first + 8, ... below `end` folded, from the
// empty state, into the records of `heads` heads (head i's at records + i ×
// record_stride), which it overwrites.
void fold_group(const float* scores, uint32_t first, uint32_t end, uint32_t heads, const float* V, std::size_t column,
                float* records, std::size_t record_stride);

// Merges the kGroups group records of one head (stride `stride` floats) into
// `merged`: M = the largest maximum; each group rescaled by exp2(m − M); the
// outputs added in group order from 0; S = the SIMD-group sum of the group
// sums. `merged` then holds M, S and the summed output, not divided by S.
void merge_groups(const float* records, std::size_t stride, float* merged);

// out = the record's output divided by its sum; zeros when the sum is 0.
void normalize(const float* record, float* out);

// One block of the blocked pass, [begin, end) with at most kBlockPositions
// positions: both stages for groups 0 .. 7 from empty records, then
// merge_groups, for each of q.heads heads into merged + i × merged_stride.
void attend_block(const Queries& q, const float* K, const float* V, std::size_t column, uint32_t begin, uint32_t end,
                  float* merged, std::size_t merged_stride);

// The blocked pass's reduce for one head over `count` block records (stride
// kRecordFloats): rescaled to the largest block maximum G, SIMD group s
// folds blocks s, s + 8, ... in order, and the groups are merged in group
// order and normalised into out[kHeadDim].
void reduce_blocks(const float* records, uint32_t count, float* out);

}  // namespace varkel::metal::attention
