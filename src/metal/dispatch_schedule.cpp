#include "metal/dispatch_schedule.h"

#include <algorithm>
#include <chrono>

#include "metal/kernel_timing.h"
#include "metal/kernels/worker_pool.h"
#include "metal/linked_kernel.h"

namespace varkel::metal {
namespace {

// Fewer threadgroups than this: too little work to hand to other threads.
constexpr uint64_t kSmallThreadgroups = 16;
// A step runs as whole dispatches per thread only with this many per thread:
// fewer leave threads idle behind the biggest one.
constexpr uint32_t kDispatchesPerThread = 2;

// Runs fn, adding its wall time under `name` while kernel timing is on.
template <class Fn>
void timed(const std::string& name, Fn&& fn) {
  if (!kernel_timing()) return fn();
  const auto start = std::chrono::steady_clock::now();
  fn();
  add_kernel_time(name, std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace

void DispatchSchedule::add(const LinkedKernel& kernel, const DispatchArgs& args, uint32_t encoder) {
  Dispatch d{&kernel, args, encoder, 0, ranges_.size(), ranges_.size()};
  for (const KernelParam& p : kernel.params) {
    if (p.kind != ParamKind::Buffer) continue;
    const BoundBuffer& b = args.buffers[p.index];
    ranges_.push_back({b.data, b.data + b.size, p.writable});
  }
  d.ranges_end = ranges_.size();
  for (const Dispatch& earlier : dispatches_) {
    if (earlier.step + 1 > d.step && hazard(earlier, d)) d.step = earlier.step + 1;
  }
  dispatches_.push_back(d);
}

bool DispatchSchedule::hazard(const Dispatch& a, const Dispatch& b) const {
  for (std::size_t i = a.ranges_begin; i < a.ranges_end; ++i) {
    const Range& ra = ranges_[i];
    for (std::size_t j = b.ranges_begin; j < b.ranges_end; ++j) {
      const Range& rb = ranges_[j];
      if ((ra.written || rb.written) && ra.begin < rb.end && rb.begin < ra.end) return true;
    }
  }
  return false;
}

void DispatchSchedule::run_one(void* self, uint32_t index) {
  auto& s = *static_cast<DispatchSchedule*>(self);
  const Dispatch& d = s.dispatches_[s.step_members_[index]];
  d.kernel->run(d.args);
}

void DispatchSchedule::run(const std::function<void(uint32_t encoder)>& before_step) {
  uint32_t steps = 0;
  for (const Dispatch& d : dispatches_) steps = std::max(steps, d.step + 1);
  for (uint32_t step = 0; step < steps; ++step) {
    step_members_.clear();
    for (uint32_t i = 0; i < dispatches_.size(); ++i) {
      if (dispatches_[i].step == step) step_members_.push_back(i);
    }
    before_step(dispatches_[step_members_.front()].encoder);
    // Small dispatches cost less run in turn here than handed out.
    std::erase_if(step_members_, [&](uint32_t i) {
      const Grid& g = dispatches_[i].args.grid;
      if (uint64_t{g.threadgroups[0]} * g.threadgroups[1] * g.threadgroups[2] >= kSmallThreadgroups) return false;
      timed(dispatches_[i].kernel->name, [&] { dispatches_[i].kernel->run(dispatches_[i].args); });
      return true;
    });
    if (step_members_.size() >= kDispatchesPerThread * worker_count()) {
      // One parallel run with a dispatch per chunk: each thread runs whole
      // dispatches, one barrier for the step.
      timed("(side by side)", [&] {
        run_chunks(static_cast<uint32_t>(step_members_.size()), &DispatchSchedule::run_one, this);
      });
    } else {
      // Too few to keep every thread busy: one after another, each spread
      // over all threads.
      for (uint32_t i = 0; i < step_members_.size(); ++i) {
        timed(dispatches_[step_members_[i]].kernel->name, [&] { run_one(this, i); });
      }
    }
  }
  dispatches_.clear();
  ranges_.clear();
}

}  // namespace varkel::metal
