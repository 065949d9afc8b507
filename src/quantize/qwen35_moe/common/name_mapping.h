#pragma once
// Checkpoint tensor names to the engine's tensor names.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include "quantize/quant_result.h"

namespace varkel {

using NameMap = std::unordered_map<std::string, std::string>;

// The compiled-in table: a JSON object of 177 members whose keys and values may
// hold "{L}" (decoder layer) or "{B}" (vision block).
std::string_view name_mapping_table();

// Parses a table and expands "{L}" for layers 0..layers-1 and "{B}" for the
// 27 vision blocks; entries without a placeholder are kept as they are.
QuantResult<NameMap> load_name_mapping(std::string_view table_json, uint64_t layers);

}  // namespace varkel
