#pragma once
// Storage element types of converted tensors and their encoders.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace varkel {

// Values are stable: they index tables elsewhere.
enum class DType : uint8_t {
  F32 = 0,      // "f32"
  Bf16 = 1,     // "bf16"
  U32 = 2,      // "u32": packed 4-bit affine, bf16 scale and bias per 64 columns
  U8 = 3,       // "u8": signed 8-bit symmetric, one f32 scale per row
  Fp4E2m1 = 4,  // "fp4_e2m1": packed 4-bit E2M1, bf16 scale per 64 columns
  Fp8E4m3 = 5,  // "fp8_e4m3": one E4M3 byte per element, bf16 scale per 128 columns
};

inline constexpr DType kAllDTypes[] = {DType::F32, DType::Bf16, DType::U32, DType::U8, DType::Fp4E2m1, DType::Fp8E4m3};

// The manifest's dtype string.
std::string_view as_str(DType dtype);
// Inverse of as_str; nullopt for any other text.
std::optional<DType> dtype_from_str(std::string_view name);

inline constexpr std::size_t kFp4Group = 64;
inline constexpr std::size_t kFp8Group = 128;

// One stored part of an encoded tensor.
struct EncodedTensor {
  std::vector<uint8_t> data;       // multi-byte elements little-endian
  std::vector<std::size_t> shape;  // as written to the manifest
  std::string_view suffix;         // "", ".weight", ".scales" or ".biases" (static text)
  std::string_view dtype;          // the part's dtype string (static text)
};

// Encodes a row-major rows x cols f32 matrix. F32 and Bf16 ignore rows and cols
// and give one part of shape [data.size()]; the grouped types need at least
// rows * cols values and give ".weight", ".scales" (and ".biases" for U32) in
// that order. Columns after the last whole group keep code 0 and get no scale.
// Fails on too little data, and for Fp4E2m1 on a NaN or infinite value.
std::expected<std::vector<EncodedTensor>, std::string> encode(DType dtype, std::span<const float> data,
                                                             std::size_t rows, std::size_t cols);

}  // namespace varkel
