#include "engine/qwen35_moe/bound_tensors.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "engine/qwen35_constants.h"
#include "engine/qwen35_moe/cpu_norm.h"
#include "engine/qwen35_moe/metal_kernels.h"
#include "engine/qwen35_moe/pre_expert.h"
#include "engine/qwen35_moe/try.h"
#include "model/weights/weight_file.h"

namespace varkel::qwen35 {
namespace {

constexpr uint64_t kHidden = kHiddenSize;
constexpr uint64_t kQProjRows = 2 * kNumAttentionHeads * kHeadDim;  // query and gate per head
constexpr uint64_t kAttnWidth = kNumAttentionHeads * kHeadDim;
constexpr uint64_t kSharedInter = kSharedExpertIntermediateSize;
constexpr uint64_t kConvTaps = kConvHistory + 1;

// One stored part as its kernel reads it. Grouped parts carry their exact
// shape; a plain f32 or bf16 part is written flat, so only its number of
// values counts.
struct Layout {
  std::string_view dtype;
  std::vector<uint64_t> shape;
  bool exact_shape;
};

uint64_t element_bytes(std::string_view dtype) {
  if (dtype == "f32" || dtype == "u32" || dtype == "fp4_e2m1") return 4;
  if (dtype == "bf16") return 2;
  return 1;  // u8, fp8_e4m3
}

// The number of values of `shape`; nullopt when it does not fit in 64 bits.
std::optional<uint64_t> count_of(std::span<const uint64_t> shape) {
  uint64_t n = 1;
  for (uint64_t d : shape) {
    if (__builtin_mul_overflow(n, d, &n)) return std::nullopt;
  }
  return n;
}

std::string shape_text(std::span<const uint64_t> shape) { return fmt::format("[{}]", fmt::join(shape, ", ")); }

MoEError misfit(const TensorInfo& info, std::string_view what) {
  return MoEError::config(fmt::format("tensor '{}': {}", info.name, what));
}

Status check_part(const TensorInfo& info, const Layout& want) {
  if (info.dtype != want.dtype) {
    return fail(misfit(info, fmt::format("dtype \"{}\" where the engine reads {}", info.dtype, want.dtype)));
  }
  // Only the embedding's rows come from the manifest, but they may be anything.
  const std::optional<uint64_t> values = count_of(want.shape);
  const uint64_t element = element_bytes(want.dtype);
  uint64_t bytes = 0;
  if (!values || __builtin_mul_overflow(*values, element, &bytes)) {
    return fail(misfit(info, fmt::format("shape {} is too large to be stored", shape_text(want.shape))));
  }
  const bool shape_fits = want.exact_shape ? info.shape == want.shape : count_of(info.shape) == values;
  if (!shape_fits) {
    return fail(misfit(info, fmt::format("shape {} where the engine reads {}", shape_text(info.shape),
                                         want.exact_shape ? shape_text(want.shape) : fmt::format("{} values", *values))));
  }
  if (info.size != bytes) {
    return fail(misfit(info, fmt::format("{} bytes where {} {} needs {}", info.size, want.dtype,
                                         shape_text(info.shape), bytes)));
  }
  if (info.offset % element != 0) {
    return fail(misfit(info, fmt::format("offset {} is not a multiple of its {}-byte elements", info.offset, element)));
  }
  return {};
}

struct MatvecPart {
  std::string_view suffix;
  Layout layout;
};

// The parts a mat-vec of rows x cols binds for a weight stored as `dtype`,
// the weight first; empty for a dtype no mat-vec kernel reads.
std::vector<MatvecPart> matvec_parts(std::string_view dtype, uint64_t rows, uint64_t cols) {
  if (dtype == "u32") {
    const Layout groups{"bf16", {rows, cols / kU32GroupSize}, true};
    return {{".weight", {"u32", {rows, cols / 8}, true}}, {".scales", groups}, {".biases", groups}};
  }
  if (dtype == "bf16") return {{".weight", {"bf16", {rows, cols}, false}}};
  if (dtype == "u8") return {{".weight", {"u8", {rows, cols}, true}}, {".scales", {"f32", {rows}, true}}};
  if (dtype == "fp4_e2m1") {
    return {{".weight", {"fp4_e2m1", {rows, cols / 8}, true}},
            {".scales", {"bf16", {rows, cols / kFp4GroupSize}, true}}};
  }
  if (dtype == "fp8_e4m3") {
    return {{".weight", {"fp8_e4m3", {rows, cols}, true}}, {".scales", {"bf16", {rows, cols / kFp8GroupSize}, true}}};
  }
  return {};
}

class Checker {
 public:
  explicit Checker(const WeightFile& weights) : weights_(weights) {}

  // A tensor bound as it is, e.g. a norm weight.
  Status vector(std::string_view name, std::string_view dtype, uint64_t values) const {
    const TensorInfo* info = weights_.find(name);
    return info == nullptr ? Status{} : check_part(*info, Layout{dtype, {values}, false});
  }

  // The matrix `base` as encode_matvec_into binds it: the weight's dtype
  // chooses the kernel and with it every part's layout.
  Status matvec(std::string_view base, uint64_t rows, uint64_t cols) const {
    const TensorInfo* weight = weights_.find(fmt::format("{}.weight", base));
    if (weight == nullptr) return {};
    const std::vector<MatvecPart> parts = matvec_parts(weight->dtype, rows, cols);
    if (parts.empty()) {
      return fail(misfit(*weight, fmt::format("dtype \"{}\" where the engine reads bf16, u32, u8, fp4_e2m1 or fp8_e4m3",
                                              weight->dtype)));
    }
    return check_parts(base, *weight, parts);
  }

  // The embedding table, decoded on the CPU as 4-bit affine rows of the
  // hidden size; its number of rows is its own.
  Status embedding(std::string_view base) const {
    const TensorInfo* weight = weights_.find(fmt::format("{}.weight", base));
    if (weight == nullptr) return {};
    const uint64_t rows = weight->shape.empty() ? 0 : weight->shape[0];
    return check_parts(base, *weight, matvec_parts("u32", rows, kHidden));
  }

 private:
  Status check_parts(std::string_view base, const TensorInfo& weight, const std::vector<MatvecPart>& parts) const {
    for (const MatvecPart& part : parts) {
      const TensorInfo* info = part.suffix == ".weight" ? &weight : weights_.find(fmt::format("{}{}", base, part.suffix));
      if (info != nullptr) VARKEL_TRY(check_part(*info, part.layout));
    }
    return {};
  }

  const WeightFile& weights_;
};

Status check_layer(const Checker& check, uint32_t layer, const BoundModelShape& shape) {
  VARKEL_TRY(check.vector(layer_tensor(layer, ".input_layernorm.weight"), "bf16", kHidden));
  VARKEL_TRY(check.vector(layer_tensor(layer, ".post_attention_layernorm.weight"), "bf16", kHidden));
  if (is_full_attention_layer(layer)) {
    const std::string attn = layer_tensor(layer, ".self_attn");
    VARKEL_TRY(check.matvec(attn + ".q_proj", kQProjRows, kHidden));
    VARKEL_TRY(check.matvec(attn + ".k_proj", kKvDim, kHidden));
    VARKEL_TRY(check.matvec(attn + ".v_proj", kKvDim, kHidden));
    VARKEL_TRY(check.vector(attn + ".q_norm.weight", "bf16", kHeadDim));
    VARKEL_TRY(check.vector(attn + ".k_norm.weight", "bf16", kHeadDim));
    VARKEL_TRY(check.matvec(attn + ".o_proj", kHidden, kAttnWidth));
  } else {
    const std::string attn = layer_tensor(layer, ".linear_attn");
    VARKEL_TRY(check.matvec(attn + ".in_proj_qkv", kConvDim, kHidden));
    VARKEL_TRY(check.matvec(attn + ".in_proj_z", kLinearTotalValue, kHidden));
    VARKEL_TRY(check.matvec(attn + ".in_proj_b", kLinearNumValueHeads, kHidden));
    VARKEL_TRY(check.matvec(attn + ".in_proj_a", kLinearNumValueHeads, kHidden));
    VARKEL_TRY(check.vector(attn + ".conv1d.weight", "bf16", kConvDim * kConvTaps));
    VARKEL_TRY(check.vector(attn + ".A_log", "f32", kLinearNumValueHeads));
    VARKEL_TRY(check.vector(attn + ".dt_bias", "bf16", kLinearNumValueHeads));
    VARKEL_TRY(check.vector(attn + ".norm.weight", "bf16", kLinearValueHeadDim));
    VARKEL_TRY(check.matvec(attn + ".out_proj", kHidden, kLinearTotalValue));
  }
  const std::string mlp = layer_tensor(layer, ".mlp");
  VARKEL_TRY(check.matvec(mlp + ".gate", shape.num_experts, kHidden));
  VARKEL_TRY(check.matvec(mlp + ".shared_expert.gate_proj", kSharedInter, kHidden));
  VARKEL_TRY(check.matvec(mlp + ".shared_expert.up_proj", kSharedInter, kHidden));
  VARKEL_TRY(check.matvec(mlp + ".shared_expert_gate", 1, kHidden));
  return check.matvec(mlp + ".shared_expert.down_proj", kHidden, kSharedInter);
}

// Every entry inside the file, and no two entries sharing a byte. Sorted by
// offset, an entry overlaps an earlier one exactly when it starts before the
// furthest end seen so far.
Status check_placement(const WeightFile& weights) {
  std::vector<const TensorInfo*> placed;
  placed.reserve(weights.tensors().size());
  for (const auto& entry : weights.tensors()) placed.push_back(&entry.second);
  std::sort(placed.begin(), placed.end(), [](const TensorInfo* a, const TensorInfo* b) {
    return std::tie(a->offset, a->name) < std::tie(b->offset, b->name);
  });
  const TensorInfo* furthest = nullptr;
  for (const TensorInfo* info : placed) {
    if (info->offset > weights.len() || info->size > weights.len() - info->offset) {
      return fail(misfit(*info, fmt::format("{} bytes at offset {} reach past the {}-byte weight file", info->size,
                                            info->offset, weights.len())));
    }
    if (info->size == 0) continue;
    const uint64_t end = info->offset + info->size;
    if (furthest != nullptr && info->offset < furthest->offset + furthest->size) {
      return fail(MoEError::config(fmt::format("tensors '{}' (bytes {}..{}) and '{}' (bytes {}..{}) overlap",
                                               furthest->name, furthest->offset, furthest->offset + furthest->size,
                                               info->name, info->offset, end)));
    }
    if (furthest == nullptr || end > furthest->offset + furthest->size) furthest = info;
  }
  return {};
}

}  // namespace

Status check_bound_tensors(const WeightFile& weights, const BoundModelShape& shape) {
  const Checker check(weights);
  VARKEL_TRY(check.embedding("language_model.model.embed_tokens"));
  for (std::size_t layer = 0; layer < shape.num_layers; ++layer) {
    VARKEL_TRY(check_layer(check, static_cast<uint32_t>(layer), shape));
  }
  VARKEL_TRY(check.vector(kFinalNormWeight, "bf16", kHidden));
  VARKEL_TRY(check.matvec("language_model.lm_head", shape.vocab, kHidden));
  return check_placement(weights);
}

}  // namespace varkel::qwen35
