#pragma once
// Hazard tracking for the dispatches of a command buffer, as a GPU driver
// does it: a dispatch runs in the first step after every earlier dispatch it
// has a hazard with (a byte range that one writes and the other reads or
// writes). Every dispatch thus sees exactly the bytes it would see in
// encoding order. Within a step, dispatches of kernels that split into row
// ranges (the mat-vecs) are cut into ranges that all share one parallel run,
// which also makes what their ranges share (x re-laid) ahead of them; other
// dispatches run as whole dispatches per thread when there are at
// least two per thread, else in turn, each spread over every thread; tiny
// dispatches always run in turn on the committing thread. Mat-vecs of a step
// too small to busy every thread wait for the next step with mat-vecs when
// nothing in between needs them.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "hwy/aligned_allocator.h"
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
  // A dispatch of the step being run, cut into row ranges.
  struct Split {
    uint32_t dispatch;
    uint32_t rows;
    uint64_t row_bytes;
    uint32_t pieces;
    uint32_t first_piece;    // of the step's pieces
    uint32_t preparation;    // its preparation (possibly another's), kNoPreparation if none
  };
  // What the ranges of one or more splits share, made in the step's run
  // ahead of their pieces.
  struct Preparation {
    uint32_t dispatch;
    float* scratch;
  };
  static constexpr uint32_t kNoPreparation = UINT32_MAX;
  bool hazard(const Dispatch& a, const Dispatch& b) const;
  // Moves the mat-vecs of steps too small to busy every thread into the next
  // step that has mat-vecs, where no dispatch in between or in that step
  // touches their bytes: one parallel run where there were two.
  void merge_small_splits(uint32_t steps);
  static void run_one(void* self, uint32_t index);
  // Chunks of a step's run: its preparations, then its pieces, each of
  // which waits for its split's preparation.
  static void run_step_chunk(void* self, uint32_t chunk);
  void run_piece(uint32_t piece) const;
  // Runs the step's splitting dispatches, taking them out of step_members_.
  void run_splits();
  float* scratch(std::size_t index);

  std::vector<Dispatch> dispatches_;
  std::vector<Range> ranges_;
  std::vector<uint32_t> step_members_;  // dispatches of the step being run
  std::vector<Split> splits_;
  std::vector<Preparation> preparations_;
  std::unique_ptr<std::atomic<bool>[]> prepared_;  // per preparation, for the run in progress
  std::size_t prepared_capacity_ = 0;
  std::vector<uint64_t> step_split_bytes_;  // merge_small_splits' per-step mat-vec bytes
  hwy::AlignedFreeUniquePtr<float[]> scratch_;  // kRowScratchFloats per split
  std::size_t scratch_splits_ = 0;
};

}  // namespace varkel::metal
