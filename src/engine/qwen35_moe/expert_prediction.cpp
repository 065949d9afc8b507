#include "engine/qwen35_moe/expert_prediction.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
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

}  // namespace

ExpertPrediction::ExpertPrediction() : enabled_(prediction_switched_on()) {}

ExpertPrediction::~ExpertPrediction() {
  if (thread_.joinable() && forked()) {
    // A forked child has no hint thread to join or wake.
    thread_.detach();
    (void)signals_.release();
    return;
  }
  {
    std::lock_guard lock(signals_->mutex);
    stop_ = true;
  }
  signals_->wake.notify_one();
  if (thread_.joinable()) thread_.join();
}

bool ExpertPrediction::forked() const {
  const pid_t started = thread_pid_.load(std::memory_order_relaxed);
  return started != 0 && started != ::getpid();
}

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

Status ExpertPrediction::predict(const EngineState& st, uint32_t next, uint32_t num_experts,
                                 const metal::BufferPtr& residual) {
  guess_.clear();
  hinted_.clear();
  const Model& model = *st.model;
  const WeightFile& weights = model.weights();
  if (!enabled_ || forked() || next >= model.experts().size()) return {};
  // A layer the pass itself will refuse or warn about is not guessed at.
  if (weights.find(layer_tensor(next, ".post_attention_layernorm.weight")) == nullptr ||
      weights.find(layer_tensor(next, ".mlp.gate.weight")) == nullptr) {
    return {};
  }

  const MetalContext& ctx = st.ctx;
  // Buffers of its own: the layer being read still needs buf_mlp_in.
  for (auto [buffer, bytes] : {std::pair{&normed_, std::size_t{kHiddenSize} * sizeof(float)},
                               std::pair{&logits_, std::size_t{num_experts} * sizeof(float)}}) {
    if (*buffer && (*buffer)->length() >= bytes) continue;
    auto made = ctx.device->new_buffer(bytes, 0);
    if (!made) return fail(MoEError::metal(fmt::format("expert guess buffer: {}", made.error())));
    *buffer = std::move(*made);
  }
  metal::CommandBufferPtr cmd = ctx.queue->command_buffer();
  metal::ComputeCommandEncoderPtr enc = cmd->compute_command_encoder();
  auto encoded =
      detail::encode_router(weights, st.weights, ctx, *enc, next, num_experts, residual, normed_, logits_);
  enc->end_encoding();
  if (!encoded) return fail(std::move(encoded.error()));
  if (!*encoded) return {};
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
  const ExpertFile& file = model.experts()[next];
  const uint64_t length = file.current_length();
  for (uint32_t i : order) {
    if (hinted_.size() == kHintsPerLayer) break;
    const uint32_t e = guess_[i];
    if (file.kind() != ExpertFile::Kind::Raw || file.cached_record(e, length).empty()) hinted_.push_back(e);
  }
  if (hinted_.empty()) return {};
  {
    std::lock_guard lock(signals_->mutex);
    file_ = &file;
    waiting_ = hinted_;
    if (!thread_.joinable()) {
      thread_ = std::thread([this] { run_hints(); });
      thread_pid_.store(::getpid(), std::memory_order_relaxed);
    }
  }
  signals_->wake.notify_one();
  return {};
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
