#pragma once
// Softmax-weighted attention over cached rows, shared by the single-pass and
// blocked attention kernels. Scores are base 2: queries arrive already scaled
// by scale × log2(e), so exp2 of a score difference is the softmax weight.

#include <cstddef>
#include <cstdint>

namespace varkel::metal::attention {

inline constexpr uint32_t kHeadDim = 256;
inline constexpr uint32_t kKvDim = 512;  // one cache row: both key/value heads
inline constexpr uint32_t kHeadsPerKv = 8;
inline constexpr uint32_t kRecordFloats = kHeadDim + 2;  // max, sum, unnormalised output
inline constexpr float kLog2e = 1.442695041f;
inline constexpr float kNoScore = -1e30f;  // running maximum before any position

// Online softmax state of one query head: running maximum, running sum and the
// unnormalised weighted sum of value rows, laid out as one record.
struct Record {
  float* data;  // kRecordFloats floats
  float& max() const { return data[0]; }
  float& sum() const { return data[1]; }
  float* out() const { return data + 2; }
};

// Resets `count` records (stride kRecordFloats) to the empty state.
void reset_records(float* records, uint32_t count);

// Folds positions [p_begin, p_end) into the records of `heads` query heads
// (at most kHeadsPerKv) that share one key/value head. queries[i] is head i's
// scaled query (kHeadDim floats) and its record starts at
// records + i × record_stride; key and value rows are read at
// K[p × kKvDim + column .. + kHeadDim].
void attend(const float* const* queries, uint32_t heads, const float* K, const float* V, std::size_t column,
            uint32_t p_begin, uint32_t p_end, float* records, std::size_t record_stride);

// Merges `count` records (stride `stride` floats) into out[kHeadDim]:
// rescaled to the common maximum, summed in record order, divided by the
// total sum; zeros when the total sum is 0.
void merge(const float* records, std::size_t stride, uint32_t count, float* out);

}  // namespace varkel::metal::attention
