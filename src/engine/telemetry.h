#pragma once
// Engine timing telemetry and its process-wide switch.

#include <atomic>
#include <chrono>
#include <string_view>

#include "engine/engine.h"

namespace varkel {

// Off at load; the Python function record_engine_telemetry sets it. Read afresh
// by every timing_add, so it may change in the middle of a pass. Relaxed
// atomic: all access happens on threads that hold the interpreter lock.
inline std::atomic<bool> RECORD_TELEMETRY{false};

inline void set_record_telemetry(bool on) { RECORD_TELEMETRY.store(on, std::memory_order_relaxed); }
inline bool record_telemetry() { return RECORD_TELEMETRY.load(std::memory_order_relaxed); }

// Adds `ms` to the scalar under `key` (inserting it when absent); a list value
// stays as it is. Nothing at all while the switch is off.
void timing_add(TelemetryMap& telemetry, std::string_view key, double ms);

// A monotonic start time; elapsed_ms() is (whole seconds + nanoseconds / 1e9) x 1000.
class Stopwatch {
 public:
  Stopwatch() : start_(std::chrono::steady_clock::now()) {}
  double elapsed_ms() const;

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace varkel
