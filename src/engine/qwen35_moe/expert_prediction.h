#pragma once
// A guess at the next layer's experts, made while this layer's records are
// read: the next layer's post-attention norm and router applied to this
// layer's residual stream before its experts. The surest guesses whose
// records are not in the page cache are held until this layer's last read
// has started, then start loading into the page cache from a thread of their
// own: queued behind this layer's reads, they keep the disk working through
// the compute between two layers' reads instead of taking bandwidth from
// this layer's. Only a hint to the OS: a wrong guess costs disk bandwidth
// and never changes a result.

#include <sys/types.h>

#include <atomic>
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

  bool enabled() const { return enabled_; }
  // Before a layer's reads start: hints of the next guess wait for release().
  void hold();
  // Guesses layer `next`'s k experts from `residual` (layer `next - 1`'s
  // stream after attention) into buffers of its own, and queues the surest
  // uncached ones' hints.
  Status predict(const EngineState& st, uint32_t next, uint32_t num_experts, const metal::BufferPtr& residual);
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

 private:
  void run_hints();
  // In a child forked after the hint thread started: guessing stays off
  // there, and nothing waits on that thread or its lock.
  bool forked() const;

  bool enabled_;
  std::vector<uint32_t> guess_;
  std::vector<uint32_t> hinted_;
  metal::BufferPtr normed_, logits_;

  // On the heap: a forked child leaves them be, since their copies may say
  // that the parent's hint thread holds or waits on them.
  struct Signals {
    std::mutex mutex;
    std::condition_variable wake;
  };
  std::unique_ptr<Signals> signals_ = std::make_unique<Signals>();
  const ExpertFile* file_ = nullptr;  // of the hints waiting
  std::vector<uint32_t> waiting_;     // only the latest layer's: older ones are of no use
  bool released_ = false;
  bool stop_ = false;
  std::thread thread_;
  // The process that started it; read by release() on a reading thread
  // while predict() may be starting the thread.
  std::atomic<pid_t> thread_pid_{0};
};

}  // namespace varkel::qwen35
