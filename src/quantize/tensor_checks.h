#pragma once
// Checks that a tensor's values agree with its shape before they are
// rearranged or encoded: a header may promise more than the data holds.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quantize/quant_result.h"

namespace varkel {

// "tensor {}: {} values, fewer than its shape [..] needs"
std::string too_few_values(std::string_view tensor, std::size_t count, std::span<const std::size_t> shape);

// Fails unless `count` >= rows * cols.
QuantResult<void> check_value_count(std::string_view tensor, std::size_t count, std::size_t rows, std::size_t cols);

// cols rounded up to a multiple of `group`; fails on overflow.
QuantResult<std::size_t> padded_width(std::string_view tensor, std::size_t rows, std::size_t cols,
                                      std::size_t group);

// A rows x padded copy in which each row's cols values are followed by zeros.
std::vector<float> pad_columns(std::span<const float> values, std::size_t rows, std::size_t cols,
                               std::size_t padded);

}  // namespace varkel
