#pragma once
// Everything about the model family and the quantization scheme that the
// conversion driver needs, behind one interface.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "dtype/dtype.h"
#include "hf_util/hf_repo.h"
#include "quantize/quant_result.h"

namespace varkel {

// What becomes of one checkpoint tensor.
struct WeightClass {
  enum class Kind : uint8_t { NonExpert, Expert, Skip };

  Kind kind = Kind::Skip;
  uint64_t layer = 0;     // Expert only
  std::string name;       // engine name (NonExpert, Expert)
  DType dtype = DType::Bf16;  // target storage type (NonExpert, Expert)

  static WeightClass non_expert(std::string name, DType dtype) {
    return {Kind::NonExpert, 0, std::move(name), dtype};
  }
  static WeightClass expert(uint64_t layer, std::string name, DType dtype) {
    return {Kind::Expert, layer, std::move(name), dtype};
  }
  static WeightClass skip() { return {}; }

  bool operator==(const WeightClass&) const = default;
};

// Checkpoint tensor name to shard file name, from "model.safetensors.index.json".
using WeightMap = std::map<std::string, std::string>;

using ClassifiedTensor = std::pair<std::string, WeightClass>;

class QuantScheme {
 public:
  virtual ~QuantScheme() = default;

  virtual std::size_t hidden_dim() const = 0;
  virtual std::size_t num_layers() const = 0;
  virtual std::size_t num_experts() const = 0;

  // `name` as in the checkpoint.
  virtual WeightClass classify(std::string_view name, std::span<const std::size_t> shape) const = 0;

  // Edits a NonExpert tensor's values and shape just before it is encoded
  // (`name` is its engine name). Fails only on values that disagree with the shape.
  virtual QuantResult<void> sanitize(std::string_view name, std::span<float> values,
                                     std::vector<std::size_t>& shape) const = 0;

  // Packs the Expert tensors into out/"packed_experts"/"layer_{:02}.bin";
  // returns the number of layer files written.
  virtual QuantResult<std::size_t> process_experts(const HfRepo& source, const WeightMap& weight_map,
                                                   std::span<const ClassifiedTensor> classified,
                                                   const std::filesystem::path& out) const = 0;

  // Fills the weight manifest's "config" object.
  virtual QuantResult<void> write_manifest_config(nlohmann::json& config) const = 0;
};

}  // namespace varkel
