#include "quantize/qwen35_moe/common/sanitize.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "quantize/qwen35_moe/common/tensor_names.h"
#include "quantize/tensor_checks.h"

namespace varkel {

QuantResult<void> moveaxis_2_to_1(std::string_view tensor, std::span<float> values,
                                  std::vector<std::size_t>& shape) {
  if (shape.size() < 3) {
    return quant_error(fmt::format("tensor {}: cannot swap axes 1 and 2 of shape {}", tensor, shape));
  }
  const std::size_t a = shape[0], b = shape[1], c = shape[2];
  std::size_t plane = 0, total = 0;
  if (__builtin_mul_overflow(b, c, &plane) || __builtin_mul_overflow(a, plane, &total) || values.size() < total) {
    const std::size_t dims[] = {a, b, c};
    return quant_error(too_few_values(tensor, values.size(), dims));
  }
  // With a unit axis the order of the values does not change.
  if (b > 1 && c > 1) {
    std::vector<float> block(plane);
    for (std::size_t i = 0; i < a; ++i) {
      float* base = values.data() + i * plane;
      std::copy(base, base + plane, block.begin());
      for (std::size_t j = 0; j < b; ++j) {
        for (std::size_t k = 0; k < c; ++k) base[k * b + j] = block[j * c + k];
      }
    }
  }
  shape = {a, c, b};
  return {};
}

QuantResult<void> sanitize_tensor(std::string_view name, bool add_one_to_norms, std::span<float> values,
                                  std::vector<std::size_t>& shape) {
  if (add_one_to_norms && is_norm_key(name)) {
    for (float& value : values) value += 1.0f;
  }
  if (name.find("conv1d.weight") != std::string_view::npos && shape.size() == 3) {
    return moveaxis_2_to_1(name, values, shape);
  }
  return {};
}

}  // namespace varkel
