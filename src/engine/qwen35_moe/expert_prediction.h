#pragma once
// A guess at the next layer's experts, made while this layer's records are
// read: the next layer's post-attention norm and router applied to this
// layer's residual stream before its experts. The surest guesses whose
// records are not in the page cache are held until this layer's last read
// has started, then start loading into the page cache from a thread of their
// own: queued behind this layer's reads, they keep the disk working through
// the compute between two layers' reads instead of taking bandwidth from
// this layer's. Only a hint to the OS: a wrong guess costs disk bandwidth
// and never changes a result, and a failed one only ends the guessing.

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "error/moe_error.h"
#include "metal/metal.h"

namespace varkel {
class ExpertFile;
}

namespace varkel::qwen35 {

struct EngineState;

class ExpertPrediction {
 public:
  // Off with VARKEL_PREDICT_EXPERTS=0. The hint thread starts with the first guess.
  ExpertPrediction();
  ~ExpertPrediction();
  ExpertPrediction(const ExpertPrediction&) = delete;
  ExpertPrediction& operator=(const ExpertPrediction&) = delete;

  // False once a guess failed, and in a child forked after this was made.
  bool enabled() const;
  // Before a layer's reads start: hints of the next guess wait for release().
  void hold();
  // Guesses layer `next`'s k experts from `residual` (layer `next - 1`'s
  // stream after attention) into buffers of its own, and queues the surest
  // uncached ones' hints. Only a hint, so it cannot fail the pass: a failure
  // prints at most one line and turns guessing off for good.
  void predict(const EngineState& st, uint32_t next, uint32_t num_experts, const metal::BufferPtr& residual);
  // The current layer's last read has started: queued hints may go. Called
  // from any thread.
  void release();
  // Compares the guess (if any) with the experts the router chose, for the
  // decode profile, and forgets it.
  void score(std::span<const uint32_t> chosen);
  void forget() {
    guess_.clear();
    hinted_.clear();
  }

  // Tests: while on, the guess's buffers cannot be allocated.
  static void fail_buffers_for_testing(bool on);

 private:
  // False: the router's encoder declined the layer and has said why.
  Result<bool> guess(const EngineState& st, uint32_t next, uint32_t num_experts, const metal::BufferPtr& residual);
  void queue_hints(const ExpertFile& file);
  void run_hints();
  // Made in a process this one was forked from: that process's hint thread
  // is not here, and nothing may wait on it, its lock or its signal.
  bool forked() const;

  bool enabled_;
  uint64_t fork_generation_;  // of the process that made it
  std::vector<uint32_t> guess_;
  std::vector<uint32_t> hinted_;
  metal::BufferPtr normed_, logits_;

  // On the heap, like the thread: a forked child leaks both, since its copy
  // of the lock may be held by the parent's hint thread, and of the thread's
  // handle may name a thread of the child's own.
  struct Signals {
    std::mutex mutex;
    std::condition_variable wake;
  };
  std::unique_ptr<Signals> signals_ = std::make_unique<Signals>();
  const ExpertFile* file_ = nullptr;  // of the hints waiting
  std::vector<uint32_t> waiting_;     // only the latest layer's: older ones are of no use
  bool released_ = false;
  bool stop_ = false;
  std::unique_ptr<std::thread> thread_;  // the hint thread, once started
};

}  // namespace varkel::qwen35
