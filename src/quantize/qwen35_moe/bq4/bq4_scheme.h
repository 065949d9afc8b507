#pragma once
// "bq4": 4-bit affine matrices, but an 8-bit output head and bf16 router,
// full-attention and vision projections.

#include <cstddef>
#include <filesystem>
#include <string_view>

#include "quantize/qwen35_moe/common/qwen35_moe_scheme.h"

namespace varkel {

DType bq4(std::string_view engine_name, std::size_t ndim);

class BQ4Scheme : public Qwen35MoeScheme {
 public:
  explicit BQ4Scheme(Qwen35MoeSchemeData data) : Qwen35MoeScheme(std::move(data), &bq4) {}
  static QuantResult<BQ4Scheme> create(const std::filesystem::path& model_dir, bool add_one_to_norms) {
    return make_qwen35_moe_scheme<BQ4Scheme>(model_dir, add_one_to_norms);
  }
};

}  // namespace varkel
