#pragma once
// Where the time of a decoded token goes, stage by stage, for benchmarks. Off
// by default; while on, the forward pass adds each stage's wall time here.
// Process-wide and unsynchronised: only the thread running a forward pass
// writes it.

#include <array>
#include <cstddef>
#include <string_view>

namespace varkel {

enum class DecodeStage : std::size_t {
  PreExpert,    // attention or linear attention, router and shared-expert projections
  Routing,      // softmax, top-k and renormalisation on the CPU
  ExpertReads,  // issuing the expert reads until their last byte has landed
  ExpertStage,  // routed and shared experts, combine, next input norm
  LmHead,       // final norm and the lm head
  Count,
};

inline constexpr std::array<std::string_view, static_cast<std::size_t>(DecodeStage::Count)> kDecodeStageNames = {
    "pre-expert", "routing", "expert reads", "expert stage", "lm head"};

struct DecodeProfile {
  std::array<double, static_cast<std::size_t>(DecodeStage::Count)> ms{};
  std::size_t tokens = 0;

  double& operator[](DecodeStage s) { return ms[static_cast<std::size_t>(s)]; }
  double operator[](DecodeStage s) const { return ms[static_cast<std::size_t>(s)]; }
};

void set_decode_profiling(bool on);
bool decode_profiling();
// The running totals (since the last reset).
DecodeProfile& decode_profile();

}  // namespace varkel
