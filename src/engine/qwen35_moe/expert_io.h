#pragma once
// Reads of one layer's selected experts into their staging slots, spread over
// every thread of the worker pool while the caller goes on.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "engine/engine.h"
#include "error/moe_error.h"
#include "metal/kernels/worker_pool.h"
#include "metal/metal.h"

namespace varkel {
class ExpertFile;
}

namespace varkel::qwen35 {

// Expert experts[i] of `file` into slots[i], for every i. A raw record is
// read in several positional reads when that lets every pool thread copy; an
// LZ4 record is one block and one read. When a slot's record has landed (or
// failed to), its event in `events` is signalled with `value`, so a command
// buffer can start on it while the other reads go on. The destructor waits
// for every read: no slot is written once it has returned.
class ExpertReads {
 public:
  // `start` is when fetching the layer's records began (the landed time
  // counts from there); with no records to read they have landed at once.
  // `last_started`, if set, is called on the reading thread as the last read
  // starts.
  ExpertReads(const ExpertFile& file, std::span<const uint32_t> experts, std::span<const std::span<uint8_t>> slots,
              std::span<const metal::SharedEventPtr> events, uint64_t value,
              std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now(),
              std::function<void()> last_started = {});
  ~ExpertReads() = default;
  ExpertReads(const ExpertReads&) = delete;
  ExpertReads& operator=(const ExpertReads&) = delete;

  // Waits for every read; then the first failure, if any. On success adds the
  // milliseconds from the start to the last landed byte to "engine.expert_io_ms".
  Status finish(TelemetryMap& telemetry);
  // Once finished: milliseconds from the start to the last landed byte.
  double landed_ms() const;

 private:
  struct Piece {
    uint32_t slot;
    uint32_t part;  // of parts_per_record
  };
  static void run_piece(void* self, uint32_t index);
  void read_piece(const Piece& piece);
  void record_failure(MoEError error);
  void mark_landed();

  const ExpertFile& file_;
  std::vector<uint32_t> experts_;
  std::vector<std::span<uint8_t>> slots_;
  std::vector<metal::SharedEventPtr> events_;
  uint64_t value_;
  uint32_t parts_per_record_;
  uint64_t part_bytes_;
  std::vector<Piece> pieces_;
  std::function<void()> last_started_;
  std::unique_ptr<std::atomic<uint32_t>[]> parts_left_;  // per slot
  std::atomic<uint32_t> slots_left_;
  std::chrono::steady_clock::time_point start_;
  std::atomic<int64_t> landed_ns_{0};  // since start_, set by the last read
  std::mutex error_mutex_;
  std::optional<MoEError> error_;
  std::optional<metal::TaskBatch> batch_;  // last: destroyed (waited for) first
};

// The reads of ExpertReads, waited for at once: returns once every read has
// finished, with the first failure, if any.
Status route_experts(const ExpertFile& file, std::span<const uint32_t> experts, std::span<const std::span<uint8_t>> slots,
                     TelemetryMap& telemetry);

}  // namespace varkel::qwen35
