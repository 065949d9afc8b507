#include "quantize/qwen35_moe/int4/int4_scheme.h"

#include "quantize/qwen35_moe/common/target_type.h"

namespace varkel {

DType int4_quant(std::string_view engine_name, std::size_t ndim) {
  switch (tensor_role(engine_name, ndim)) {
    case TensorRole::ALog: return DType::F32;
    case TensorRole::OutputHead:
    case TensorRole::Projection:
    case TensorRole::Matrix: return DType::U32;
    case TensorRole::Unnamed:
    case TensorRole::Other: return DType::Bf16;
  }
  return DType::Bf16;
}

}  // namespace varkel
