#pragma once
// The two compiled model-constant sets and the check of a model's
// configuration against one of them. The engine sizes nothing at run time:
// every dimension below is fixed when the engine type is instantiated.

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace varkel {

class ModelConfig;

namespace qwen35 {

// Dimensions both constant sets share.
inline constexpr std::size_t kHiddenSize = 2048;
inline constexpr std::size_t kMoeIntermediateSize = 512;
inline constexpr std::size_t kSharedExpertIntermediateSize = 512;
inline constexpr std::size_t kNumAttentionHeads = 16;
inline constexpr std::size_t kNumKeyValueHeads = 2;
inline constexpr std::size_t kHeadDim = 256;
inline constexpr std::size_t kKvDim = kNumKeyValueHeads * kHeadDim;  // one key/value cache row
inline constexpr std::size_t kVocabSize = 248320;
inline constexpr std::size_t kLinearNumValueHeads = 32;
inline constexpr std::size_t kLinearNumKeyHeads = 16;
inline constexpr std::size_t kLinearKeyHeadDim = 128;
inline constexpr std::size_t kLinearValueHeadDim = 128;
inline constexpr std::size_t kLinearTotalKey = kLinearNumKeyHeads * kLinearKeyHeadDim;        // 2048
inline constexpr std::size_t kLinearTotalValue = kLinearNumValueHeads * kLinearValueHeadDim;  // 4096
inline constexpr std::size_t kConvDim = 2 * kLinearTotalKey + kLinearTotalValue;              // 8192
inline constexpr std::size_t kConvHistory = 3;                                                // 4 taps
inline constexpr std::size_t kConvStateFloats = kConvHistory * kConvDim;                      // 24,576
inline constexpr std::size_t kSsmStateFloats =
    kLinearNumValueHeads * kLinearValueHeadDim * kLinearKeyHeadDim;  // 524,288
inline constexpr std::size_t kMaxSeq = 4096;
inline constexpr std::size_t kFullAttentionInterval = 4;
inline constexpr float kRmsNormEps = 1e-6f;
static_assert(std::bit_cast<uint32_t>(kRmsNormEps) == 0x358637BDu);
inline constexpr std::size_t kExpertGroupSize = 64;
inline constexpr std::size_t kPackedExpertSize = 1769472;
// Staging slots for routed experts: allocated whatever k is.
inline constexpr std::size_t kExpertSlots = 8;

// Counting layers from 0, layer i is full attention when i + 1 is a multiple of 4.
constexpr bool is_full_attention_layer(std::size_t layer) { return (layer + 1) % kFullAttentionInterval == 0; }
// Index among the full-attention layers (valid for a full-attention layer).
constexpr std::size_t full_attention_index(std::size_t layer) { return layer / kFullAttentionInterval; }
// Index among the linear-attention layers (valid for a linear-attention layer).
constexpr std::size_t linear_attention_index(std::size_t layer) {
  return layer - (layer + 1) / kFullAttentionInterval;
}

}  // namespace qwen35

// A compiled constant set. The sets carry no data: everything is static.
template <class C>
concept ModelConstants = requires {
  { C::kArchitecture } -> std::convertible_to<std::string_view>;
  { C::kNumLayers } -> std::convertible_to<std::size_t>;
  { C::kLinearLayers } -> std::convertible_to<std::size_t>;
  { C::kFullLayers } -> std::convertible_to<std::size_t>;
  { C::kNumExperts } -> std::convertible_to<std::size_t>;
  { C::kExpertsPerTok } -> std::convertible_to<std::size_t>;
};

struct FullModel {
  static constexpr std::string_view kArchitecture = "Qwen3_5MoeForConditionalGeneration";
  static constexpr std::size_t kNumLayers = 40;
  static constexpr std::size_t kLinearLayers = 30;
  static constexpr std::size_t kFullLayers = 10;
  static constexpr std::size_t kNumExperts = 256;
  static constexpr std::size_t kExpertsPerTok = 8;
};

struct StrippedModel {
  static constexpr std::string_view kArchitecture = "Qwen3_5MoeForConditionalGeneration_Stripped";
  static constexpr std::size_t kNumLayers = 4;
  static constexpr std::size_t kLinearLayers = 3;
  static constexpr std::size_t kFullLayers = 1;
  static constexpr std::size_t kNumExperts = 4;
  static constexpr std::size_t kExpertsPerTok = 4;
};

static_assert(ModelConstants<FullModel> && ModelConstants<StrippedModel>);
static_assert(FullModel::kLinearLayers + FullModel::kFullLayers == FullModel::kNumLayers);
static_assert(StrippedModel::kLinearLayers + StrippedModel::kFullLayers == StrippedModel::kNumLayers);
static_assert(FullModel::kExpertsPerTok <= qwen35::kExpertSlots);

// The values of one set that a configuration and the bound tensors are
// compared with.
struct ConstantSetValues {
  std::string_view architecture;
  std::size_t num_layers;
  std::size_t num_experts;
  std::size_t experts_per_tok;
  std::size_t vocab;  // lm head rows
};

template <ModelConstants C>
constexpr ConstantSetValues constant_set_values() {
  // A set may narrow the vocabulary (tests keep the lm head small that way).
  std::size_t vocab = qwen35::kVocabSize;
  if constexpr (requires { C::kVocabSize; }) vocab = C::kVocabSize;
  return {C::kArchitecture, C::kNumLayers, C::kNumExperts, C::kExpertsPerTok, vocab};
}

// nullopt when `config` agrees with the set; otherwise every disagreement, in
// a fixed order, joined with "; ".
std::optional<std::string> validate_config_against(const ModelConfig& config, const ConstantSetValues& set);

template <ModelConstants C>
std::optional<std::string> validate_config(const ModelConfig& config) {
  return validate_config_against(config, constant_set_values<C>());
}

}  // namespace varkel
