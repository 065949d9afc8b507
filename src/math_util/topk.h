#pragma once
// Selection of the k largest router scores.

#include <cstdint>
#include <span>

namespace varkel {

// Writes the indices and values of the k largest `scores` into the first k
// entries of `out_idx` / `out_val`, kept as a binary min-heap (entry 0 is the
// smallest kept score) and left in heap order, unsorted.
//
// Ties keep the earlier index: a later score enters a full heap only when it is
// strictly greater than the root. A NaN never enters a full heap. With fewer
// than k scores only the first scores.size() entries are written.
//
// Requires out_idx and out_val to hold at least k entries, and k >= 1 unless
// `scores` is empty. No allocation.
void topk(std::span<const float> scores, uint32_t k, std::span<uint32_t> out_idx, std::span<float> out_val);

}  // namespace varkel
