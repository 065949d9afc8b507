#pragma once
// DType::encode of a large tensor in blocks of rows on the worker threads.
// Every storage type encodes rows independently (and f32/bf16 element by
// element), so the blocks' parts laid end to end are the whole tensor's parts.

#include <cstddef>
#include <span>
#include <vector>

#include "dtype/dtype.h"
#include "quantize/quant_result.h"

namespace varkel {

// The same parts as encode(dtype, data, rows, cols).
QuantResult<std::vector<EncodedTensor>> encode_parallel(DType dtype, std::span<const float> data, std::size_t rows,
                                                        std::size_t cols);

}  // namespace varkel
