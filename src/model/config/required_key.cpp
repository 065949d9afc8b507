#include "model/config/required_key.h"

#include <fmt/format.h>

namespace varkel {

Result<uint64_t> require_usize(const ModelConfig& config, std::string_view key) {
  if (auto value = config.get_usize(key)) return *value;
  return fail(MoEError::config(fmt::format("missing config key '{}'", key)));
}

}  // namespace varkel
