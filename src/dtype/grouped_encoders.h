#pragma once
// The per-type encoders behind encode(); the caller has checked the data length.

#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "dtype/dtype.h"

namespace varkel::detail {

std::vector<EncodedTensor> encode_u8(std::span<const float> data, std::size_t rows, std::size_t cols);
std::vector<EncodedTensor> encode_fp8_e4m3(std::span<const float> data, std::size_t rows, std::size_t cols);
std::expected<std::vector<EncodedTensor>, std::string> encode_fp4_e2m1(std::span<const float> data, std::size_t rows,
                                                                      std::size_t cols);

}  // namespace varkel::detail
