#include "engine/qwen35_moe/expert_prediction.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include <fmt/format.h>

#include "engine/decode_profile.h"
#include "engine/qwen35_constants.h"
#include "engine/qwen35_moe/forward_pass.h"
#include "engine/qwen35_moe/pre_expert.h"
#include "engine/qwen35_moe/router.h"
#include "engine/qwen35_moe/try.h"
#include "model/expert/expert_file.h"
#include "model/model.h"

namespace varkel::qwen35 {
namespace {

// On unless VARKEL_PREDICT_EXPERTS=0: it only works in layers that read
// records, where it keeps the disk busy between two layers' reads.
bool prediction_switched_on() {
  const char* env = std::getenv("VARKEL_PREDICT_EXPERTS");
  return env == nullptr || std::strcmp(env, "0") != 0;
}

// The surest guesses only, about what the disk fetches while the compute
// between two layers' reads runs: the rest of the records are read soon
// anyway, and a wrong guess takes the place of a record in the page cache.
constexpr std::size_t kHintsPerLayer = 2;

// Bumped in every child fork() makes, before fork() returns there: a guesser
// made at another count was inherited from a parent. Unlike a pid, the count
// cannot come back round to the parent's.
std::atomic<uint64_t> fork_generation{0};

// False when forks could not be counted: guessing, and with it the thread a
// child must not touch, then stays off.
bool counting_forks() {
  static const bool registered =
      ::pthread_atfork(nullptr, nullptr, [] { fork_generation.fetch_add(1, std::memory_order_relaxed); }) == 0;
  return registered;
}

std::atomic<bool> buffers_fail{false};

}  // namespace

ExpertPrediction::ExpertPrediction()
    : enabled_(prediction_switched_on() && counting_forks()),
      fork_generation_(fork_generation.load(std::memory_order_relaxed)) {}

ExpertPrediction::~ExpertPrediction() {
  if (forked()) {
    // Neither joined, detached nor destroyed while joinable: any of these
    // would act on whatever thread of this process now has the handle.
    (void)thread_.release();
    (void)signals_.release();
    return;
  }
  if (!thread_) return;
  {
    std::lock_guard lock(signals_->mutex);
    stop_ = true;
  }
  signals_->wake.notify_one();
  thread_->join();
}

bool ExpertPrediction::forked() const {
  return fork_generation.load(std::memory_order_relaxed) != fork_generation_;
}

bool ExpertPrediction::enabled() const { return enabled_ && !forked(); }

void ExpertPrediction::fail_buffers_for_testing(bool on) { buffers_fail.store(on, std::memory_order_relaxed); }

void ExpertPrediction::hold() {
  if (forked()) return;
  std::lock_guard lock(signals_->mutex);
  released_ = false;
  waiting_.clear();
}

void ExpertPrediction::release() {
  if (forked()) return;
  {
    std::lock_guard lock(signals_->mutex);
    released_ = true;
  }
  signals_->wake.notify_one();
}

void ExpertPrediction::predict(const EngineState& st, uint32_t next, uint32_t num_experts,
                               const metal::BufferPtr& residual) {
  forget();
  const Model& model = *st.model;
  const WeightFile& weights = model.weights();
  if (!enabled() || next >= model.experts().size()) return;
  // A layer the pass itself will refuse or warn about is not guessed at.
  if (weights.find(layer_tensor(next, ".post_attention_layernorm.weight")) == nullptr ||
      weights.find(layer_tensor(next, ".mlp.gate.weight")) == nullptr) {
    return;
  }
  std::string failure;
  try {
    const Result<bool> guessed = guess(st, next, num_experts, residual);
    if (guessed && *guessed) {
      if (!hinted_.empty()) queue_hints(model.experts()[next]);
      return;
    }
    if (!guessed) failure = guessed.error().to_string();
  } catch (const std::system_error& error) {  // the hint thread could not start
    failure = error.what();
  }
  // Another try would most likely fail the same way, and say so every layer.
  if (!failure.empty()) fmt::print(stderr, "varkel: expert guessing is off for this engine: {}\n", failure);
  enabled_ = false;
  forget();
}

Result<bool> ExpertPrediction::guess(const EngineState& st, uint32_t next, uint32_t num_experts,
                                     const metal::BufferPtr& residual) {
  const MetalContext& ctx = st.ctx;
  // Buffers of its own: the layer being read still needs buf_mlp_in.
  for (auto [buffer, bytes] : {std::pair{&normed_, std::size_t{kHiddenSize} * sizeof(float)},
                               std::pair{&logits_, std::size_t{num_experts} * sizeof(float)}}) {
    if (*buffer && (*buffer)->length() >= bytes) continue;
    auto made = buffers_fail.load(std::memory_order_relaxed)
                    ? std::unexpected(fmt::format("cannot allocate a buffer of {} bytes", bytes))
                    : ctx.device->new_buffer(bytes, 0);
    if (!made) return fail(MoEError::metal(fmt::format("expert guess buffer: {}", made.error())));
    *buffer = std::move(*made);
  }
  metal::CommandBufferPtr cmd = ctx.queue->command_buffer();
  metal::ComputeCommandEncoderPtr enc = cmd->compute_command_encoder();
  auto encoded = detail::encode_router(st.model->weights(), st.weights, ctx, *enc, next, num_experts, residual,
                                       normed_, logits_);
  enc->end_encoding();
  if (!encoded || !*encoded) return encoded;
  cmd->commit();
  cmd->wait_until_completed();
  if (cmd->status() == metal::CommandBufferStatus::Error) return fail(MoEError::metal(cmd->error()));

  const auto* logits = static_cast<const float*>(logits_->contents());
  Routing guessed = route(std::vector<float>(logits, logits + num_experts), static_cast<uint32_t>(st.k));
  guess_ = guessed.experts;
  std::vector<uint32_t> order(guess_.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return guessed.weights[a] > guessed.weights[b]; });
  const ExpertFile& file = st.model->experts()[next];
  const uint64_t length = file.current_length();
  for (uint32_t i : order) {
    if (hinted_.size() == kHintsPerLayer) break;
    const uint32_t e = guess_[i];
    if (file.kind() != ExpertFile::Kind::Raw || file.cached_record(e, length).empty()) hinted_.push_back(e);
  }
  return true;
}

void ExpertPrediction::queue_hints(const ExpertFile& file) {
  {
    std::lock_guard lock(signals_->mutex);
    // Started before anything is queued, so a thread that cannot start leaves nothing behind.
    if (!thread_) thread_ = std::make_unique<std::thread>([this] { run_hints(); });
    file_ = &file;
    waiting_ = hinted_;
  }
  signals_->wake.notify_one();
}

// Each hint allocates the record's pages and queues its reads, which can take
// a while under memory pressure: never on a thread the pass waits for.
void ExpertPrediction::run_hints() {
  std::unique_lock lock(signals_->mutex);
  for (;;) {
    signals_->wake.wait(lock, [this] { return stop_ || (released_ && !waiting_.empty()); });
    if (stop_) return;
    const ExpertFile* file = file_;
    const uint32_t expert = waiting_.front();
    waiting_.erase(waiting_.begin());
    lock.unlock();
    file->warm_record(expert);
    lock.lock();
  }
}

void ExpertPrediction::score(std::span<const uint32_t> chosen) {
  if (decode_profiling() && !guess_.empty()) {
    DecodeProfile& profile = decode_profile();
    for (uint32_t e : chosen) {
      if (std::find(guess_.begin(), guess_.end(), e) != guess_.end()) ++profile.predicted_hits;
    }
    profile.predicted_records += chosen.size();
    for (uint32_t e : hinted_) {
      if (std::find(chosen.begin(), chosen.end(), e) != chosen.end()) ++profile.warmed_used;
    }
    profile.warmed_records += hinted_.size();
  }
  forget();
}

}  // namespace varkel::qwen35
