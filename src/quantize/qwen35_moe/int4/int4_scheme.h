#pragma once
// "int4": every matrix, the output head included, as 4-bit affine.

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "quantize/qwen35_moe/common/qwen35_moe_scheme.h"

namespace varkel {

DType int4_quant(std::string_view engine_name, std::size_t ndim);

class Int4Scheme : public Qwen35MoeScheme {
 public:
  explicit Int4Scheme(Qwen35MoeSchemeData data) : Qwen35MoeScheme(std::move(data), &int4_quant) {}
  static QuantResult<Int4Scheme> create(const std::filesystem::path& model_dir, bool add_one_to_norms) {
    return make_qwen35_moe_scheme<Int4Scheme>(model_dir, add_one_to_norms);
  }
};

}  // namespace varkel
