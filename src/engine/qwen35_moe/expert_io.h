#pragma once
// Parallel reads of one layer's selected experts into their staging slots.

#include <cstdint>
#include <span>

#include "engine/engine.h"
#include "error/moe_error.h"

namespace varkel {
class ExpertFile;
}

namespace varkel::qwen35 {

// One job per slot on the process-wide worker pool: expert experts[i] of
// `file` into slots[i]. Returns once every read has finished; then the first
// recorded failure, if any. On success adds the elapsed milliseconds to
// "engine.expert_io_ms".
Status route_experts(const ExpertFile& file, std::span<const uint32_t> experts, std::span<const std::span<uint8_t>> slots,
                     TelemetryMap& telemetry);

}  // namespace varkel::qwen35
