#pragma once
// "int4": every matrix, the output head included, as 4-bit affine.

#include <cstddef>
#include <string_view>

#include "quantize/qwen35_moe/common/qwen35_moe_scheme.h"

namespace varkel {

DType int4_quant(std::string_view engine_name, std::size_t ndim);

using Int4Scheme = Qwen35MoeRuleScheme<&int4_quant>;

}  // namespace varkel
