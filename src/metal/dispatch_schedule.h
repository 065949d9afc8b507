#pragma once
// Hazard tracking for the dispatches of a command buffer, as a GPU driver
// does it: a dispatch runs in the first step after every earlier dispatch it
// has a hazard with (a byte range that one writes and the other reads or
// writes). Every dispatch thus sees exactly the bytes it would see in
// encoding order. A step with at least two dispatches per thread is one
// parallel run of whole dispatches (one barrier for all of them); a smaller
// step runs its dispatches in turn, each spread over every thread, and tiny
// dispatches always run in turn on the committing thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "metal/kernel_abi.h"

namespace varkel::metal {

struct LinkedKernel;

class DispatchSchedule {
 public:
  // A checked dispatch (bound and validated); `encoder` is only reported back.
  void add(const LinkedKernel& kernel, const DispatchArgs& args, uint32_t encoder);
  bool empty() const { return dispatches_.empty(); }
  // Runs every added dispatch, step by step, and empties the schedule.
  // `before_step` gets the encoder of each step's first dispatch.
  void run(const std::function<void(uint32_t encoder)>& before_step);

 private:
  struct Range {
    const std::byte* begin;
    const std::byte* end;
    bool written;
  };
  struct Dispatch {
    const LinkedKernel* kernel;
    DispatchArgs args;
    uint32_t encoder;
    uint32_t step;
    std::size_t ranges_begin, ranges_end;  // into ranges_
  };
  bool hazard(const Dispatch& a, const Dispatch& b) const;
  static void run_one(void* self, uint32_t index);

  std::vector<Dispatch> dispatches_;
  std::vector<Range> ranges_;
  std::vector<uint32_t> step_members_;  // dispatches of the step being run
};

}  // namespace varkel::metal
