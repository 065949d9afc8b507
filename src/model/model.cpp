#include "model/model.h"

#include <cstdio>
#include <sys/stat.h>

#include <fmt/format.h>

#include "model/config/required_key.h"

namespace varkel {

Result<Model> Model::load(const std::string& path) {
  const std::filesystem::path dir(path);
  struct stat st {};
  // A name with a NUL would be cut short by the OS and find another directory.
  if (path.find('\0') != std::string::npos || ::stat(dir.c_str(), &st) != 0) return fail(MoEError::config(fmt::format("not found: {}", path)));

  auto config = load_model_config(dir);
  if (!config) return fail(MoEError::config(fmt::format("config: {}", config.error())));

  auto weights = WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json");
  if (!weights) return fail(MoEError::config(fmt::format("weights: {}", weights.error().to_string())));

  auto hidden = require_usize(*config, "hidden_size");
  if (!hidden) return fail(std::move(hidden.error()));
  auto intermediate = require_usize(*config, "moe_intermediate_size");
  if (!intermediate) return fail(std::move(intermediate.error()));
  auto layers = require_usize(*config, "num_hidden_layers");
  if (!layers) return fail(std::move(layers.error()));

  const uint64_t expert_size = expert_record_size(*hidden, *intermediate);
  const std::optional<uint64_t> num_experts = config->get_usize("num_experts");

  // Everything opened so far is owned here and closed if a later layer fails.
  std::vector<ExpertFile> experts;
  size_t lz4_layers = 0;
  for (uint64_t layer = 0; layer < *layers; ++layer) {
    const std::string name = fmt::format("layer_{:02}.bin", layer);
    const std::filesystem::path lz4_path = dir / "packed_experts_lz4" / name;
    struct stat lz4_st {};
    Result<ExpertFile> file = ::stat(lz4_path.c_str(), &lz4_st) == 0
                                  ? ExpertFile::open_lz4(lz4_path, layer, num_experts, expert_size)
                                  : ExpertFile::open_raw(dir / "packed_experts" / name, layer, expert_size);
    if (!file) return fail(std::move(file.error()));
    if (file->kind() == ExpertFile::Kind::Lz4) ++lz4_layers;
    experts.push_back(std::move(*file));
  }

  fmt::print(stderr, "[model] {} layers hidden={} experts={} lz4_layers={}\n", *layers, *hidden,
             num_experts.value_or(0), lz4_layers);
  return Model(std::move(*config), std::move(*weights), std::move(experts));
}

Result<std::shared_ptr<const Model>> Model::load_shared(const std::string& path) {
  auto model = load(path);
  if (!model) return fail(std::move(model.error()));
  return std::make_shared<const Model>(std::move(*model));
}

}  // namespace varkel
