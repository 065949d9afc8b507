#pragma once
// A loaded converted model directory: configuration, mapped weights, one expert file
// per layer. Immutable once loaded; engines share it through std::shared_ptr.

#include <memory>
#include <string>
#include <vector>

#include "error/moe_error.h"
#include "model/config/model_config.h"
#include "model/expert/expert_file.h"
#include "model/weights/weight_file.h"

namespace varkel {

class Model {
 public:
  // Opens the directory `path`: "config.json", "model_weights.bin"/".json", and per layer
  // "packed_experts_lz4/layer_NN.bin" when present, else "packed_experts/layer_NN.bin".
  // Prints the "[model]" line. Nothing stays open on failure.
  static Result<Model> load(const std::string& path);
  // The same, into a shared handle as engines and the Python module hold it.
  static Result<std::shared_ptr<const Model>> load_shared(const std::string& path);

  Model(Model&&) noexcept = default;
  Model& operator=(Model&&) noexcept = default;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  const ModelConfig& config() const { return config_; }
  const WeightFile& weights() const { return weights_; }
  // Index = layer number; length "num_hidden_layers".
  const std::vector<ExpertFile>& experts() const { return experts_; }

 private:
  Model(ModelConfig config, WeightFile weights, std::vector<ExpertFile> experts)
      : config_(std::move(config)), weights_(std::move(weights)), experts_(std::move(experts)) {}

  ModelConfig config_;
  WeightFile weights_;
  std::vector<ExpertFile> experts_;
};

}  // namespace varkel
