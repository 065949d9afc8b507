#pragma once
// In-place clean-up of a tensor's values before it is encoded.

#include <cstddef>
#include <string_view>
#include <span>
#include <vector>

#include "quantize/quant_result.h"

namespace varkel {

// Swaps the last two axes of a [a, b, c] tensor: values[i*b*c + k*b + j] =
// old[i*b*c + j*c + k], and the shape becomes [a, c, b]. Fails, naming
// `tensor`, when the values are fewer than the shape says.
QuantResult<void> moveaxis_2_to_1(std::string_view tensor, std::span<float> values,
                                  std::vector<std::size_t>& shape);

// Adds 1 to norm weights when asked (checkpoints that store w - 1), then turns
// a [channels, 1, kernel] convolution weight into [channels, kernel, 1].
QuantResult<void> sanitize_tensor(std::string_view name, bool add_one_to_norms, std::span<float> values,
                                  std::vector<std::size_t>& shape);

}  // namespace varkel
