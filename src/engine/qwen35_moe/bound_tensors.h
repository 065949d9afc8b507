#pragma once
// The weight tensors an engine binds, checked once at construction against
// what their kernels read: storage type, shape, byte size, alignment and place
// in the weight file, and no two tensors sharing bytes. A manifest that passes
// cannot make a kernel read past a tensor or decode it as another type.
//
// Absent tensors are not checked: the stages keep their warnings and
// fallbacks for them (a missing companion, lm head or norm weight).

#include <cstddef>

#include "error/moe_error.h"

namespace varkel {
class WeightFile;
}

namespace varkel::qwen35 {

// The sizes of a constant set that bound tensors depend on.
struct BoundModelShape {
  std::size_t num_layers;
  std::size_t num_experts;  // router rows
  std::size_t vocab;        // lm head rows
};

// A Config error naming the first tensor, in binding order, that does not fit;
// then, for overlapping byte ranges, the two tensors that share bytes.
Status check_bound_tensors(const WeightFile& weights, const BoundModelShape& shape);

}  // namespace varkel::qwen35
