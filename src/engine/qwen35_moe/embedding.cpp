#include "engine/qwen35_moe/embedding.h"

#include <algorithm>
#include <cstring>

#include <fmt/format.h>

#include "engine/qwen35_constants.h"
#include "model/weights/weight_file.h"

namespace varkel::qwen35 {
namespace {

constexpr std::string_view kEmbedWeight = "language_model.model.embed_tokens.weight";
constexpr std::string_view kEmbedScales = "language_model.model.embed_tokens.scales";
constexpr std::string_view kEmbedBiases = "language_model.model.embed_tokens.biases";

float bf16_at(const uint8_t* base, uint64_t index) {
  uint16_t pattern;
  std::memcpy(&pattern, base + 2 * index, 2);
  const uint32_t bits = static_cast<uint32_t>(pattern) << 16;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

MoEError bad_tensor(std::string_view name, std::string_view why) {
  return MoEError::config(fmt::format("embedding tensor {}: {}", name, why));
}

}  // namespace

Status embed_lookup_row(const WeightFile& weights, int64_t id, std::span<float> out) {
  const std::span<float> row = out.first(kHiddenSize);
  const TensorInfo* w = weights.find(kEmbedWeight);
  const TensorInfo* s = weights.find(kEmbedScales);
  const TensorInfo* b = weights.find(kEmbedBiases);
  if (w == nullptr || s == nullptr || b == nullptr) {
    std::fill(row.begin(), row.end(), 0.0f);
    return {};
  }
  if (w->shape.size() < 2) return fail(bad_tensor(kEmbedWeight, "shape has fewer than two dimensions"));
  if (s->shape.size() < 2) return fail(bad_tensor(kEmbedScales, "shape has fewer than two dimensions"));
  if (b->shape.size() < 2) return fail(bad_tensor(kEmbedBiases, "shape has fewer than two dimensions"));
  const uint64_t row_words = w->shape[1];
  const uint64_t num_groups = s->shape[1];
  if (num_groups == 0) return fail(bad_tensor(kEmbedScales, "no scale groups"));
  const uint64_t group = kHiddenSize / num_groups;
  if (group == 0 || group % 8 != 0) {
    return fail(bad_tensor(kEmbedScales, fmt::format("{} groups do not split a row into whole words", num_groups)));
  }
  const uint64_t words_per_group = group / 8;

  // Everything this id needs must lie inside its tensor; in a consistent file
  // that is exactly 0 <= id < rows.
  const uint64_t words_needed = num_groups * words_per_group;
  const uint64_t total_words = w->size / 4;
  const uint64_t total_scales = s->size / 2;
  const uint64_t total_biases = b->size / 2;
  const auto uid = static_cast<uint64_t>(id);
  const bool inside = id >= 0 && words_needed <= row_words && row_words <= total_words &&
                      uid <= (total_words - words_needed) / std::max<uint64_t>(row_words, 1) &&
                      num_groups <= total_scales && uid <= (total_scales - num_groups) / num_groups &&
                      num_groups <= total_biases && uid <= (total_biases - num_groups) / num_groups;
  if (!inside) {
    return fail(MoEError::config(fmt::format("token id {} is outside the embedding table ({} rows)", id,
                                             w->shape[0])));
  }

  const uint8_t* words = weights.tensor_bytes(*w).data() + 4 * row_words * uid;
  const uint8_t* scales = weights.tensor_bytes(*s).data();
  const uint8_t* biases = weights.tensor_bytes(*b).data();
  // With groups that do not cover the row exactly the tail stays zero.
  std::fill(row.begin() + static_cast<std::ptrdiff_t>(num_groups * group), row.end(), 0.0f);
  for (uint64_t g = 0; g < num_groups; ++g) {
    const float scale = bf16_at(scales, num_groups * uid + g);
    const float bias = bf16_at(biases, num_groups * uid + g);
    for (uint64_t j = 0; j < words_per_group; ++j) {
      uint32_t word;
      std::memcpy(&word, words + 4 * (g * words_per_group + j), 4);
      for (uint32_t n = 0; n < 8; ++n) {
        const float q = static_cast<float>((word >> (4 * n)) & 15u);
        const float scaled = scale * q;
        row[g * group + 8 * j + n] = scaled + bias;
      }
    }
  }
  return {};
}

Status embed_lookup(const WeightFile& weights, std::span<const int64_t> ids, std::span<float> out) {
  if (out.size() / kHiddenSize < ids.size()) {
    return fail(MoEError::config(fmt::format("embedding output holds {} floats; {} ids need {}", out.size(),
                                             ids.size(), ids.size() * kHiddenSize)));
  }
  for (std::size_t i = 0; i < ids.size(); ++i) {
    Status row = embed_lookup_row(weights, ids[i], out.subspan(i * kHiddenSize, kHiddenSize));
    if (!row) return row;
  }
  return {};
}

}  // namespace varkel::qwen35
