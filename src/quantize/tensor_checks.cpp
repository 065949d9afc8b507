#include "quantize/tensor_checks.h"

#include <algorithm>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace varkel {

std::string too_few_values(std::string_view tensor, std::size_t count, std::span<const std::size_t> shape) {
  return fmt::format("tensor {}: {} values, fewer than its shape {} needs", tensor, count, shape);
}

QuantResult<void> check_value_count(std::string_view tensor, std::size_t count, std::size_t rows, std::size_t cols) {
  std::size_t needed = 0;
  if (__builtin_mul_overflow(rows, cols, &needed) || count < needed) {
    const std::size_t shape[] = {rows, cols};
    return quant_error(too_few_values(tensor, count, shape));
  }
  return {};
}

QuantResult<std::size_t> padded_width(std::string_view tensor, std::size_t rows, std::size_t cols,
                                      std::size_t group) {
  const std::size_t rest = cols % group;
  std::size_t padded = cols, total = 0;
  if ((rest != 0 && __builtin_add_overflow(cols, group - rest, &padded)) ||
      __builtin_mul_overflow(rows, padded, &total)) {
    return quant_error(fmt::format("tensor {}: {} x {} padded to groups of {} is too large", tensor, rows, cols, group));
  }
  return padded;
}

std::vector<float> pad_columns(std::span<const float> values, std::size_t rows, std::size_t cols,
                               std::size_t padded) {
  std::vector<float> out(rows * padded, 0.0f);
  for (std::size_t r = 0; r < rows; ++r) {
    std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(r * cols), cols,
                out.begin() + static_cast<std::ptrdiff_t>(r * padded));
  }
  return out;
}

}  // namespace varkel
