#pragma once
// Deterministic, well-scaled pseudo-random tensor values: every row is a pure
// function of (seed, tensor name, row), so tensors can be generated in
// parallel chunks and recomputed by tests.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace varkel::test_support {

// Values of rows [row_begin, row_begin + rows) of the tensor `name` with
// `cols` columns, scaled by the tensor's role: norm weights near 1, matrices
// uniform with variance 1/cols, A_log = log(1..16), small biases.
void tensor_values(uint64_t seed, std::string_view name, std::size_t row_begin, std::size_t rows, std::size_t cols,
                   std::span<float> out);

}  // namespace varkel::test_support
