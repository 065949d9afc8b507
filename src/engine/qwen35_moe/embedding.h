#pragma once
// Token ids to embedding rows, decoded on the CPU from the 4-bit table in the
// mapped weight file.

#include <cstdint>
#include <span>

#include "error/moe_error.h"

namespace varkel {
class WeightFile;
}

namespace varkel::qwen35 {

// One row of 2048 floats into `out`. All zeros when the file lacks any of the
// three embedding tensors. Config error for an id outside the table, a tensor
// of fewer than two dimensions, no scale groups, or groups that are not a
// positive multiple of 8 values.
Status embed_lookup_row(const WeightFile& weights, int64_t id, std::span<float> out);

// Row i of `out` (2048 floats each) for ids[i], in order; stops at the first
// bad id, rows before it written. `out` holds at least 2048 x ids.size() floats.
Status embed_lookup(const WeightFile& weights, std::span<const int64_t> ids, std::span<float> out);

}  // namespace varkel::qwen35
