#pragma once
// "bq4": 4-bit affine matrices, but an 8-bit output head and bf16 router,
// full-attention and vision projections.

#include <cstddef>
#include <string_view>

#include "quantize/qwen35_moe/common/qwen35_moe_scheme.h"

namespace varkel {

DType bq4(std::string_view engine_name, std::size_t ndim);

using BQ4Scheme = Qwen35MoeRuleScheme<&bq4>;

}  // namespace varkel
