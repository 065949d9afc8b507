#include "engine/telemetry.h"

#include <cstdint>
#include <string>

namespace varkel {

void timing_add(TelemetryMap& telemetry, std::string_view key, double ms) {
  if (!record_telemetry()) return;
  auto it = telemetry.find(key);
  if (it == telemetry.end()) {
    telemetry.emplace(std::string(key), TelemetryValue::scalar(ms));
    return;
  }
  if (double* total = std::get_if<double>(&it->second.value)) *total += ms;
}

double Stopwatch::elapsed_ms() const {
  const int64_t ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start_).count();
  const int64_t secs = ns / 1'000'000'000;
  const int64_t nanos = ns % 1'000'000'000;
  return (static_cast<double>(secs) + static_cast<double>(nanos) / 1e9) * 1000.0;
}

}  // namespace varkel
