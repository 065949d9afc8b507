#pragma once
// A configuration key that must be present.

#include <cstdint>
#include <string_view>

#include "error/moe_error.h"
#include "model/config/model_config.h"

namespace varkel {

// get_usize(key), or a Config error "missing config key '{key}'".
Result<uint64_t> require_usize(const ModelConfig& config, std::string_view key);

}  // namespace varkel
