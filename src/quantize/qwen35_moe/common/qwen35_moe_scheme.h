#pragma once
// The Qwen3.5-MoE conversion shared by both quantization schemes: only the
// rule that picks a tensor's storage type differs between them.

#include <cstdint>
#include <filesystem>
#include <string_view>

#include "quantize/quant_scheme.h"
#include "quantize/qwen35_moe/common/name_mapping.h"
#include "quantize/qwen35_moe/common/qwen35_moe_config.h"

namespace varkel {

// The scheme record, read-only once built.
struct Qwen35MoeSchemeData {
  Qwen35MoeConfig config;
  NameMap name_map;
  uint64_t num_layers = 0;
  uint64_t num_experts = 0;
  bool add_one_to_norms = false;

  // Reads dir/"config.json", expands the name mapping and prints the
  // "Model config:" lines (nothing when it fails).
  static QuantResult<Qwen35MoeSchemeData> load(const std::filesystem::path& dir, bool add_one_to_norms);
};

using TargetTypeRule = DType (*)(std::string_view engine_name, std::size_t ndim);

class Qwen35MoeScheme : public QuantScheme {
 public:
  Qwen35MoeScheme(Qwen35MoeSchemeData data, TargetTypeRule rule) : data_(std::move(data)), rule_(rule) {}

  const Qwen35MoeSchemeData& data() const { return data_; }

  std::size_t hidden_dim() const override { return data_.config.hidden_size; }
  std::size_t num_layers() const override { return data_.num_layers; }
  std::size_t num_experts() const override { return data_.num_experts; }
  WeightClass classify(std::string_view name, std::span<const std::size_t> shape) const override;
  QuantResult<void> sanitize(std::string_view name, std::span<float> values,
                             std::vector<std::size_t>& shape) const override;
  QuantResult<std::size_t> process_experts(const HfRepo& source, const WeightMap& weight_map,
                                           std::span<const ClassifiedTensor> classified,
                                           const std::filesystem::path& out) const override;
  QuantResult<void> write_manifest_config(nlohmann::json& config) const override;

 private:
  Qwen35MoeSchemeData data_;
  TargetTypeRule rule_;
};

// A scheme with its own storage type rule; BQ4Scheme and Int4Scheme are two of these.
template <TargetTypeRule Rule>
class Qwen35MoeRuleScheme : public Qwen35MoeScheme {
 public:
  explicit Qwen35MoeRuleScheme(Qwen35MoeSchemeData data) : Qwen35MoeScheme(std::move(data), Rule) {}

  static QuantResult<Qwen35MoeRuleScheme> create(const std::filesystem::path& model_dir, bool add_one_to_norms) {
    auto data = Qwen35MoeSchemeData::load(model_dir, add_one_to_norms);
    if (!data) return std::unexpected(std::move(data.error()));
    return Qwen35MoeRuleScheme(std::move(*data));
  }
};

}  // namespace varkel
