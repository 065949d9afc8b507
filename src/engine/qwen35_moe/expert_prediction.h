#pragma once
// A guess at the next layer's experts, made while its records would otherwise
// wait for its router: the next layer's post-attention norm and router applied
// to the hidden state this layer leaves. The surest guesses whose records are
// not in the page cache start loading into it at once, from a thread of their
// own, so the disk works while the next layer's attention runs. Only a hint to the
// OS: a wrong guess costs disk bandwidth and never changes a result.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "error/moe_error.h"

namespace varkel {
class ExpertFile;
}

namespace varkel::qwen35 {

struct EngineState;

class ExpertPrediction {
 public:
  // On with VARKEL_PREDICT_EXPERTS=1. The hint thread starts with the first guess.
  ExpertPrediction();
  ~ExpertPrediction();
  ExpertPrediction(const ExpertPrediction&) = delete;
  ExpertPrediction& operator=(const ExpertPrediction&) = delete;

  // After layer `next - 1`'s expert stage: guesses layer `next`'s k experts
  // from buf_hidden and hands the surest uncached ones to the hint thread. Overwrites
  // buf_mlp_in and buf_router_logits, which layer `next` writes before it
  // reads them.
  Status predict(const EngineState& st, uint32_t next, uint32_t num_experts);
  // Compares the guess (if any) with the experts the router chose, for the
  // decode profile, and forgets it.
  void score(std::span<const uint32_t> chosen);
  void forget() { guess_.clear(); }

 private:
  void hint(const ExpertFile& file, std::vector<uint32_t> experts);
  void run_hints();

  bool enabled_;
  std::vector<uint32_t> guess_;

  std::mutex mutex_;
  std::condition_variable wake_;
  const ExpertFile* file_ = nullptr;  // of the hints waiting
  std::vector<uint32_t> waiting_;     // only the latest layer's: older ones are of no use
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace varkel::qwen35
