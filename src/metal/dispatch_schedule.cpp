#include "metal/dispatch_schedule.h"

#include <algorithm>
#include <chrono>
#include <new>

#include "metal/kernel_timing.h"
#include "metal/kernels/parallel_rows.h"
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

bool tiny(const DispatchArgs& args) {
  const Grid& g = args.grid;
  return uint64_t{g.threadgroups[0]} * g.threadgroups[1] * g.threadgroups[2] < kSmallThreadgroups;
}

// Whether b may use a's preparation: same preparation over the same bytes.
bool same_preparation(const LinkedKernel& ka, const DispatchArgs& a, const LinkedKernel& kb, const DispatchArgs& b) {
  const uint32_t in = ka.split.shared_input;
  return ka.split.prepare == kb.split.prepare && in == kb.split.shared_input &&
         a.buffers[in].data == b.buffers[in].data && a.buffers[in].size == b.buffers[in].size &&
         a.constants == b.constants;
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

void DispatchSchedule::run_step_chunk(void* self, uint32_t chunk) {
  auto& s = *static_cast<DispatchSchedule*>(self);
  const auto preparations = static_cast<uint32_t>(s.preparations_.size());
  if (chunk < preparations) {
    const Preparation& p = s.preparations_[chunk];
    const Dispatch& d = s.dispatches_[p.dispatch];
    // Published even if it throws: its ranges must not wait forever, and the
    // run fails as a whole with that exception.
    struct Publish {
      std::atomic<bool>& done;
      ~Publish() { done.store(true, std::memory_order_release); }
    } publish{s.prepared_[chunk]};
    d.kernel->split.prepare(d.args, p.scratch);
    return;
  }
  s.run_piece(chunk - preparations);
}

void DispatchSchedule::run_piece(uint32_t piece) const {
  // The split holding this piece: the last one starting at or before it.
  auto it = std::upper_bound(splits_.begin(), splits_.end(), piece,
                             [](uint32_t p, const Split& sp) { return p < sp.first_piece; });
  const Split& sp = *(it - 1);
  const Dispatch& d = dispatches_[sp.dispatch];
  const float* scratch = nullptr;
  if (sp.preparation != kNoPreparation) {
    // Chunks are claimed in order: every preparation has been taken up by a
    // thread that is making it, so this wait ends.
    for (int spins = 0; !prepared_[sp.preparation].load(std::memory_order_acquire);) relax_wait(spins);
    scratch = preparations_[sp.preparation].scratch;
  }
  const uint32_t p = piece - sp.first_piece;
  const auto begin = static_cast<uint32_t>(uint64_t{sp.rows} * p / sp.pieces);
  const auto end = static_cast<uint32_t>(uint64_t{sp.rows} * (p + 1) / sp.pieces);
  d.kernel->split.run_rows(d.args, scratch, begin, end);
}

float* DispatchSchedule::scratch(std::size_t index) {
  if (index >= scratch_splits_) {
    const std::size_t grown = std::max<std::size_t>(index + 1, 2 * scratch_splits_);
    scratch_ = hwy::AllocateAligned<float>(grown * kRowScratchFloats);
    if (!scratch_) {
      scratch_splits_ = 0;
      throw std::bad_alloc();
    }
    scratch_splits_ = grown;
  }
  return scratch_.get() + index * kRowScratchFloats;
}

void DispatchSchedule::run_splits() {
  splits_.clear();
  preparations_.clear();
  if (step_members_.empty()) return;
  // Room for every member's preparation up front: growing later would move
  // the preparations already placed.
  (void)scratch(step_members_.size() - 1);
  if (prepared_capacity_ < step_members_.size()) {
    prepared_ = std::make_unique<std::atomic<bool>[]>(step_members_.size());
    prepared_capacity_ = step_members_.size();
  }
  uint64_t step_bytes = 0;
  std::erase_if(step_members_, [&](uint32_t i) {
    const Dispatch& d = dispatches_[i];
    const RowSplit& split = d.kernel->split;
    if (split.work == nullptr) return false;
    const RowWork work = split.work(d.args);
    if (work.rows == 0) return true;
    Split sp{i, work.rows, work.bytes_per_row, 1, 0, kNoPreparation};
    if (split.prepare != nullptr) {
      for (uint32_t p = 0; p < preparations_.size(); ++p) {
        const Dispatch& e = dispatches_[preparations_[p].dispatch];
        if (same_preparation(*e.kernel, e.args, *d.kernel, d.args)) {
          sp.preparation = p;
          break;
        }
      }
      if (sp.preparation == kNoPreparation) {
        sp.preparation = static_cast<uint32_t>(preparations_.size());
        preparations_.push_back({i, scratch(preparations_.size())});
      }
    }
    step_bytes += uint64_t{work.rows} * work.bytes_per_row;
    splits_.push_back(sp);
    return true;
  });
  if (splits_.empty()) return;
  // Pieces of about equal bytes over the whole step; dispatches of a single
  // piece first, so that none of them is the run's last piece.
  const uint64_t piece = row_piece_bytes(step_bytes);
  const bool spread = piece != 0;
  for (Split& sp : splits_) {
    const uint64_t bytes = uint64_t{sp.rows} * sp.row_bytes;
    sp.pieces = spread ? static_cast<uint32_t>(std::clamp<uint64_t>((bytes + piece - 1) / piece, 1, sp.rows))
                       : 1;
  }
  std::stable_partition(splits_.begin(), splits_.end(), [](const Split& sp) { return sp.pieces == 1; });
  uint32_t pieces = 0;
  for (Split& sp : splits_) {
    sp.first_piece = pieces;
    pieces += sp.pieces;
  }
  const auto preparations = static_cast<uint32_t>(preparations_.size());
  for (uint32_t p = 0; p < preparations; ++p) prepared_[p].store(false, std::memory_order_relaxed);
  auto run = [&] {
    if (spread) {
      run_chunks(preparations + pieces, &DispatchSchedule::run_step_chunk, this);
    } else {
      for (uint32_t c = 0; c < preparations + pieces; ++c) run_step_chunk(this, c);
    }
  };
  if (!kernel_timing()) return run();
  // Each dispatch is charged the step's time in proportion to its rows.
  const auto start = std::chrono::steady_clock::now();
  run();
  const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  uint64_t rows = 0;
  for (const Split& sp : splits_) rows += sp.rows;
  for (const Split& sp : splits_) add_kernel_time(dispatches_[sp.dispatch].kernel->name, ms * sp.rows / rows);
}

void DispatchSchedule::merge_small_splits(uint32_t steps) {
  std::vector<uint64_t>& split_bytes = step_split_bytes_;
  split_bytes.assign(steps, 0);
  for (const Dispatch& d : dispatches_) {
    if (d.kernel->split.work == nullptr) continue;
    const RowWork work = d.kernel->split.work(d.args);
    split_bytes[d.step] += uint64_t{work.rows} * work.bytes_per_row;
  }
  // Too little for every thread's usual share of pieces.
  const uint64_t small = kChunksPerThread * worker_count() * kBytesPerChunk;
  for (Dispatch& d : dispatches_) {
    if (d.kernel->split.work == nullptr || split_bytes[d.step] >= small) continue;
    uint32_t target = d.step + 1;
    while (target < steps && split_bytes[target] == 0) ++target;
    if (target >= steps) continue;
    // Nothing it must come before may run before it.
    bool free = true;
    for (const Dispatch& e : dispatches_) {
      if (e.step > d.step && e.step <= target && &e != &d && hazard(d, e)) {
        free = false;
        break;
      }
    }
    if (!free) continue;
    const RowWork work = d.kernel->split.work(d.args);
    const uint64_t bytes = uint64_t{work.rows} * work.bytes_per_row;
    split_bytes[d.step] -= bytes;
    split_bytes[target] += bytes;
    d.step = target;
  }
}

void DispatchSchedule::run(const std::function<void(uint32_t encoder)>& before_step) {
  // Emptied however the run ends: a kernel that throws must not leave its
  // dispatches behind for the next command buffer that reuses this schedule.
  struct Empty {
    DispatchSchedule& s;
    ~Empty() {
      s.dispatches_.clear();
      s.ranges_.clear();
    }
  } empty{*this};
  uint32_t steps = 0;
  for (const Dispatch& d : dispatches_) steps = std::max(steps, d.step + 1);
  merge_small_splits(steps);
  for (uint32_t step = 0; step < steps; ++step) {
    step_members_.clear();
    for (uint32_t i = 0; i < dispatches_.size(); ++i) {
      if (dispatches_[i].step == step) step_members_.push_back(i);
    }
    if (step_members_.empty()) continue;  // its mat-vecs joined a later step
    before_step(dispatches_[step_members_.front()].encoder);
    // Small dispatches cost less run in turn here than handed out, unless
    // they split: then they are pieces of the step's parallel run.
    std::erase_if(step_members_, [&](uint32_t i) {
      if (!tiny(dispatches_[i].args) || dispatches_[i].kernel->split.work != nullptr) return false;
      timed(dispatches_[i].kernel->name, [&] { dispatches_[i].kernel->run(dispatches_[i].args); });
      return true;
    });
    run_splits();
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
}

}  // namespace varkel::metal
