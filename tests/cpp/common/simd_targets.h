#pragma once
// Runs a test body once per SIMD target, to show every target gives the same bits.

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cstdint>

namespace varkel::testing_support {

// Runs `body` once on each compiled SIMD target this machine supports.
template <class Body>
void for_each_simd_target(Body&& body) {
  struct RestoreTargets {
    ~RestoreTargets() { hwy::SetSupportedTargetsForTest(0); }
  } restore;
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    SCOPED_TRACE(hwy::TargetName(target));
    body();
  }
}

}  // namespace varkel::testing_support
