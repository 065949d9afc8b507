#include "engine/decode_profile.h"

#include <chrono>

#include "parallel/worker_pool.h"

namespace varkel {
namespace {

bool profiling = false;
DecodeProfile totals;

uint64_t now_ns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace

void set_decode_profiling(bool on) {
  profiling = on;
  parallel::set_busy_accounting(on);
}
bool decode_profiling() { return profiling; }
DecodeProfile& decode_profile() { return totals; }

BusySample::BusySample(DecodeStage stage) : stage_(stage), on_(profiling) {
  if (!on_) return;
  const parallel::PoolStats s = parallel::pool_stats();
  worker_busy_ns_ = s.worker_busy_ns;
  caller_idle_ns_ = s.caller_idle_ns;
  start_ns_ = now_ns();
}

BusySample::~BusySample() {
  if (!on_) return;
  const uint64_t wall = now_ns() - start_ns_;
  const parallel::PoolStats s = parallel::pool_stats();
  const uint64_t idle = s.caller_idle_ns - caller_idle_ns_;
  const uint64_t busy = (s.worker_busy_ns - worker_busy_ns_) + (wall > idle ? wall - idle : 0);
  const auto i = static_cast<std::size_t>(stage_);
  totals.busy_thread_ms[i] += static_cast<double>(busy) / 1e6;
  totals.busy_wall_ms[i] += static_cast<double>(wall) / 1e6;
}

}  // namespace varkel
