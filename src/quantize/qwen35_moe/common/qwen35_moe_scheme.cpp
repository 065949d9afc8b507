#include "quantize/qwen35_moe/common/qwen35_moe_scheme.h"

#include <cstdio>

#include <fmt/format.h>

#include "quantize/qwen35_moe/common/expert_packing.h"
#include "quantize/qwen35_moe/common/manifest_config.h"
#include "quantize/qwen35_moe/common/sanitize.h"
#include "quantize/qwen35_moe/common/tensor_names.h"

namespace varkel {

QuantResult<Qwen35MoeSchemeData> Qwen35MoeSchemeData::load(const std::filesystem::path& dir, bool add_one_to_norms) {
  auto config = load_config(dir);
  if (!config) return std::unexpected(std::move(config.error()));
  auto name_map = load_name_mapping(name_mapping_table(), config->num_hidden_layers);
  if (!name_map) return std::unexpected(std::move(name_map.error()));

  const Qwen35MoeConfig& c = *config;
  fmt::print(stderr,
             "Model config:\n"
             "  hidden_dim={}, vocab_size={}\n"
             "  num_layers={} (main={}, mtp={})\n"
             "  num_experts={}, experts_per_tok={}\n"
             "  moe_intermediate={}, shared_intermediate={}\n"
             "  Name mapping entries: {}\n",
             c.hidden_size, c.vocab_size, c.num_hidden_layers, main_layer_count(c), c.mtp_num_hidden_layers, c.num_experts,
             c.num_experts_per_tok, c.moe_intermediate_size, c.shared_expert_intermediate_size, name_map->size());

  Qwen35MoeSchemeData data;
  data.num_layers = c.num_hidden_layers;
  data.num_experts = c.num_experts;
  data.config = std::move(*config);
  data.name_map = std::move(*name_map);
  data.add_one_to_norms = add_one_to_norms;
  return data;
}

WeightClass Qwen35MoeScheme::classify(std::string_view name, std::span<const std::size_t> shape) const {
  const auto mapped_it = data_.name_map.find(std::string(name));
  std::string mapped = mapped_it != data_.name_map.end() ? mapped_it->second : std::string(name);
  if (mapped.starts_with("vision_tower.")) return WeightClass::skip();

  const DType dtype = rule_(mapped, shape.size());
  static constexpr std::string_view kExpertParts[] = {".switch_mlp.gate_proj.", ".switch_mlp.gate_up_proj.",
                                                      ".switch_mlp.up_proj.", ".switch_mlp.down_proj."};
  for (std::string_view part : kExpertParts) {
    if (mapped.find(part) == std::string::npos) continue;
    // The layer comes from the checkpoint name, not the mapped one.
    if (const auto layer = extract_layer(name)) return WeightClass::expert(*layer, std::move(mapped), dtype);
    break;
  }
  return WeightClass::non_expert(std::move(mapped), dtype);
}

QuantResult<void> Qwen35MoeScheme::sanitize(std::string_view name, std::span<float> values,
                                            std::vector<std::size_t>& shape) const {
  return sanitize_tensor(name, data_.add_one_to_norms, values, shape);
}

QuantResult<std::size_t> Qwen35MoeScheme::process_experts(const HfRepo& source, const WeightMap& weight_map,
                                                          std::span<const ClassifiedTensor> classified,
                                                          const std::filesystem::path& out) const {
  return process_experts_common(data_.config.moe_intermediate_size, data_.config.hidden_size, data_.num_experts,
                                source, weight_map, classified, out);
}

QuantResult<void> Qwen35MoeScheme::write_manifest_config(nlohmann::json& config) const {
  return write_manifest_config_common(data_.config, data_.num_layers, data_.num_experts, config);
}

}  // namespace varkel
