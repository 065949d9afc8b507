#pragma once
// Reading encoded parts back in tests.

#include <cstdint>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "dtype/dtype.h"

namespace varkel::test {

inline uint16_t u16_at(const std::vector<uint8_t>& bytes, std::size_t index) {
  return static_cast<uint16_t>(bytes.at(2 * index) | (bytes.at(2 * index + 1) << 8));
}

inline uint32_t u32_at(const std::vector<uint8_t>& bytes, std::size_t index) {
  uint32_t value = 0;
  for (int b = 3; b >= 0; --b) value = (value << 8) | bytes.at(4 * index + b);
  return value;
}

inline std::vector<uint16_t> u16s(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> out(bytes.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = u16_at(bytes, i);
  return out;
}

inline std::vector<uint32_t> u32s(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> out(bytes.size() / 4);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = u32_at(bytes, i);
  return out;
}

// The parts of a successful encode; fails the test otherwise.
inline std::vector<EncodedTensor> encoded(DType dtype, const std::vector<float>& data, std::size_t rows,
                                          std::size_t cols) {
  auto parts = encode(dtype, data, rows, cols);
  if (!parts) {
    ADD_FAILURE() << "encode failed: " << parts.error();
    return {};
  }
  return std::move(*parts);
}

}  // namespace varkel::test
