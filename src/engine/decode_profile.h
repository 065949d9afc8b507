#pragma once
// Where the time of a decoded token goes, stage by stage, for benchmarks. Off
// by default; while on, the forward pass adds each stage's wall time here.
// Process-wide and unsynchronised: only the thread running a forward pass
// writes it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace varkel {

// The stages follow one another; a token's time is their sum plus encoding.
enum class DecodeStage : std::size_t {
  PreExpert,  // attention or linear attention, router and shared-expert projections
  Routing,    // softmax, top-k and renormalisation on the CPU
  Experts,    // expert reads and the expert stage, which overlap, until both have ended
  LmHead,     // final norm and the lm head
  Count,
};

inline constexpr std::array<std::string_view, static_cast<std::size_t>(DecodeStage::Count)> kDecodeStageNames = {
    "pre-expert", "routing", "experts", "lm head"};

struct DecodeProfile {
  std::array<double, static_cast<std::size_t>(DecodeStage::Count)> ms{};
  // Inside Experts: from issuing the reads to the last landed byte, and the
  // time the expert stage spent waiting for records.
  double reads_landed_ms = 0;
  double stage_waiting_ms = 0;
  // Routed records used where they lay in the page cache, and records read.
  std::size_t records_in_place = 0;
  std::size_t records_read = 0;
  // Of the routed records of layers whose experts were guessed beforehand,
  // those the guess held.
  std::size_t predicted_records = 0;
  std::size_t predicted_hits = 0;
  // Records the guess started loading, and those of them the router chose.
  std::size_t warmed_records = 0;
  std::size_t warmed_used = 0;
  // Per stage: thread time spent working, and the wall time it was sampled
  // over; their ratio over the pool's threads says how busy the cores were.
  std::array<double, static_cast<std::size_t>(DecodeStage::Count)> busy_thread_ms{};
  std::array<double, static_cast<std::size_t>(DecodeStage::Count)> busy_wall_ms{};
  std::size_t tokens = 0;

  double& operator[](DecodeStage s) { return ms[static_cast<std::size_t>(s)]; }
  double operator[](DecodeStage s) const { return ms[static_cast<std::size_t>(s)]; }
};

// Also turns the worker pool's busy accounting on or off.
void set_decode_profiling(bool on);
bool decode_profiling();
// The running totals (since the last reset).
DecodeProfile& decode_profile();

// While profiling, adds the pool's busy thread time over its lifetime to
// `stage`'s busy figures.
class BusySample {
 public:
  explicit BusySample(DecodeStage stage);
  ~BusySample();
  BusySample(const BusySample&) = delete;
  BusySample& operator=(const BusySample&) = delete;

 private:
  DecodeStage stage_;
  bool on_;
  uint64_t start_ns_ = 0, worker_busy_ns_ = 0, caller_idle_ns_ = 0;
};

}  // namespace varkel
