#include "quantize/qwen35_moe/bq4/bq4_scheme.h"

#include "quantize/qwen35_moe/common/target_type.h"

namespace varkel {

DType bq4(std::string_view engine_name, std::size_t ndim) {
  switch (tensor_role(engine_name, ndim)) {
    case TensorRole::ALog: return DType::F32;
    case TensorRole::OutputHead: return DType::U8;
    case TensorRole::Matrix: return DType::U32;
    case TensorRole::Unnamed:
    case TensorRole::Projection:
    case TensorRole::Other: return DType::Bf16;
  }
  return DType::Bf16;
}

}  // namespace varkel
