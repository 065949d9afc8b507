#include "engine/qwen35_moe/expert_io.h"

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "engine/telemetry.h"
#include "engine/worker_pool.h"
#include "model/expert/expert_file.h"

namespace varkel::qwen35 {

Status route_experts(const ExpertFile& file, std::span<const uint32_t> experts, std::span<const std::span<uint8_t>> slots,
                     TelemetryMap& telemetry) {
  const Stopwatch clock;
  std::mutex error_mutex;
  std::optional<MoEError> error;
  std::vector<std::function<void()>> jobs;
  jobs.reserve(experts.size());
  for (std::size_t i = 0; i < experts.size(); ++i) {
    jobs.emplace_back([&, i] {
      Status read = file.read_expert(experts[i], slots[i]);
      if (read) return;
      std::lock_guard lock(error_mutex);
      if (!error) error = std::move(read.error());
    });
  }
  WorkerPool::global().run_scope(jobs);
  if (error) return fail(std::move(*error));
  timing_add(telemetry, "engine.expert_io_ms", clock.elapsed_ms());
  return {};
}

}  // namespace varkel::qwen35
