#include "dtype/dtype.h"

#include <cstring>

#include <fmt/format.h>

#include "dtype/bf16.h"
#include "dtype/encoding_support.h"
#include "dtype/grouped_encoders.h"
#include "dtype/quant_int4.h"

namespace varkel {

std::string_view as_str(DType dtype) {
  switch (dtype) {
    case DType::F32: return "f32";
    case DType::Bf16: return "bf16";
    case DType::U32: return "u32";
    case DType::U8: return "u8";
    case DType::Fp4E2m1: return "fp4_e2m1";
    case DType::Fp8E4m3: return "fp8_e4m3";
  }
  return "f32";
}

std::optional<DType> dtype_from_str(std::string_view name) {
  for (DType dtype : kAllDTypes) {
    if (as_str(dtype) == name) return dtype;
  }
  return std::nullopt;
}

namespace detail {

std::optional<std::string> check_data_length(std::size_t length, std::size_t rows, std::size_t cols) {
  std::size_t needed = 0;
  if (__builtin_mul_overflow(rows, cols, &needed) || length < needed) {
    return fmt::format("data too short: {} values for {} rows of {} columns", length, rows, cols);
  }
  return std::nullopt;
}

}  // namespace detail

namespace {

template <class T>
std::vector<uint8_t> to_bytes(const std::vector<T>& values) {
  std::vector<uint8_t> bytes(values.size() * sizeof(T));
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

std::vector<EncodedTensor> encode_f32(std::span<const float> data) {
  std::vector<uint8_t> bytes(data.size_bytes());
  if (!data.empty()) std::memcpy(bytes.data(), data.data(), bytes.size());
  std::vector<EncodedTensor> parts;
  parts.push_back({std::move(bytes), {data.size()}, "", as_str(DType::F32)});
  return parts;
}

std::vector<EncodedTensor> encode_bf16(std::span<const float> data) {
  std::vector<uint8_t> bytes(data.size() * sizeof(uint16_t));
  for (std::size_t i = 0; i < data.size(); ++i) detail::store_u16_le(&bytes[2 * i], f32_to_bf16(data[i]));
  std::vector<EncodedTensor> parts;
  parts.push_back({std::move(bytes), {data.size()}, "", as_str(DType::Bf16)});
  return parts;
}

}  // namespace

std::expected<std::vector<EncodedTensor>, std::string> encode(DType dtype, std::span<const float> data,
                                                             std::size_t rows, std::size_t cols) {
  if (dtype == DType::F32) return encode_f32(data);
  if (dtype == DType::Bf16) return encode_bf16(data);
  if (auto error = detail::check_data_length(data.size(), rows, cols)) return std::unexpected(std::move(*error));
  switch (dtype) {
    case DType::U32: {
      auto quantized = quant_f32_to_int4(data, rows, cols);
      if (!quantized) return std::unexpected(std::move(quantized.error()));
      const std::size_t groups = cols / kInt4Group;
      std::vector<EncodedTensor> parts;
      parts.push_back({to_bytes(quantized->words), {rows, cols / 8}, ".weight", as_str(DType::U32)});
      parts.push_back({to_bytes(quantized->scales), {rows, groups}, ".scales", as_str(DType::Bf16)});
      parts.push_back({to_bytes(quantized->biases), {rows, groups}, ".biases", as_str(DType::Bf16)});
      return parts;
    }
    case DType::U8: return detail::encode_u8(data, rows, cols);
    case DType::Fp4E2m1: return detail::encode_fp4_e2m1(data, rows, cols);
    case DType::Fp8E4m3: return detail::encode_fp8_e4m3(data, rows, cols);
    case DType::F32:
    case DType::Bf16: break;
  }
  return std::unexpected(std::string("unknown storage type"));
}

}  // namespace varkel
