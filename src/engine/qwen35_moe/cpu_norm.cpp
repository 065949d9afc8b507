#include "engine/qwen35_moe/cpu_norm.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "engine/qwen35_constants.h"
#include "model/weights/weight_file.h"

namespace varkel::qwen35 {
namespace {

// The weight widened to f32 (a u16 pattern shifted left by 16), nullopt when
// absent.
Result<std::optional<std::vector<float>>> norm_weight(const WeightFile& weights, std::string_view name) {
  const TensorInfo* info = weights.find(name);
  if (info == nullptr) return std::optional<std::vector<float>>{};
  const std::span<const uint8_t> bytes = weights.tensor_bytes(*info);
  if (bytes.size() / 2 < kHiddenSize) {
    return fail(MoEError::config(fmt::format("tensor {} holds {} values, expected {}", name, bytes.size() / 2,
                                             kHiddenSize)));
  }
  std::vector<float> w(kHiddenSize);
  for (std::size_t i = 0; i < kHiddenSize; ++i) {
    uint16_t pattern;
    std::memcpy(&pattern, bytes.data() + 2 * i, 2);
    const uint32_t bits = static_cast<uint32_t>(pattern) << 16;
    std::memcpy(&w[i], &bits, 4);
  }
  return std::optional<std::vector<float>>(std::move(w));
}

float inverse_rms(std::span<const float> x) {
  float s = -0.0f;
  for (std::size_t i = 0; i < kHiddenSize; ++i) s += x[i] * x[i];
  return 1.0f / std::sqrt(s * 0.00048828125f + kRmsNormEps);
}

}  // namespace

Status final_norm(const WeightFile& weights, std::span<float> x) {
  auto w = norm_weight(weights, kFinalNormWeight);
  if (!w) return fail(std::move(w.error()));
  if (!*w) return {};
  const std::vector<float>& weight = **w;
  const float inv = inverse_rms(x);
  for (std::size_t i = 0; i < kHiddenSize; ++i) x[i] = x[i] * (weight[i] * inv);
  return {};
}

Status input_norm(const WeightFile& weights, std::string_view weight_name, std::span<const float> x,
                  std::span<float> out) {
  auto w = norm_weight(weights, weight_name);
  if (!w) return fail(std::move(w.error()));
  if (!*w) {
    std::memcpy(out.data(), x.data(), kHiddenSize * sizeof(float));
    return {};
  }
  const std::vector<float>& weight = **w;
  const float inv = inverse_rms(x);
  for (std::size_t i = 0; i < kHiddenSize; ++i) out[i] = (x[i] * inv) * weight[i];
  return {};
}

}  // namespace varkel::qwen35
