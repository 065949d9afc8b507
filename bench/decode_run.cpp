#include "decode_run.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "engine/qwen35_constants.h"
#include "engine/telemetry.h"
#include "metal/kernel_timing.h"
#include "metal/kernels/worker_pool.h"

#include <fmt/format.h>

namespace varkel::bench {
namespace {

constexpr std::string_view kEmbedPrefix = "language_model.model.embed_tokens.";

}  // namespace

DecodeBytes decode_bytes(const Model& model, std::size_t k) {
  DecodeBytes b;
  const WeightFile& weights = model.weights();
  for (const auto& [name, info] : weights.tensors()) {
    if (!name.starts_with(kEmbedPrefix)) b.weights += info.size;
  }
  for (std::string_view part : {"weight", "scales", "biases"}) {
    const TensorInfo* info = weights.find(std::string(kEmbedPrefix) + std::string(part));
    if (info != nullptr && !info->shape.empty() && info->shape[0] != 0) b.embedding_row += info->size / info->shape[0];
  }
  const std::size_t layers = model.experts().size();
  if (layers != 0) b.experts = 2 * layers * k * model.experts()[0].expert_size();
  for (std::size_t l = 0; l < layers; ++l) {
    if (!qwen35::is_full_attention_layer(l)) {
      b.linear_state += 2 * (qwen35::kSsmStateFloats + qwen35::kConvStateFloats) * sizeof(float);
    }
  }
  return b;
}

Decoder::Decoder(std::string_view mode, std::shared_ptr<const Model> model, std::size_t k, std::size_t warmup,
                 std::size_t sequence)
    : mode_(mode), row_(qwen35::kHiddenSize), sequence_(sequence) {
  auto engine = DynEngine::create(mode, std::move(model), k);
  if (!engine) throw std::runtime_error(engine.error().to_string());
  engine_ = std::make_unique<DynEngine>(std::move(*engine));
  for (std::size_t t = 0; t < std::max<std::size_t>(warmup, 1); ++t) step(static_cast<int64_t>(t + sequence_));
  next_ = warmup;
}

DecodeRound Decoder::round(std::size_t tokens) {
  // VARKEL_BENCH_KERNELS=1: per-kernel times of each round on stderr.
  const bool per_kernel = std::getenv("VARKEL_BENCH_KERNELS") != nullptr;
  metal::set_kernel_timing(per_kernel);
  set_record_telemetry(true);
  decode_profile() = DecodeProfile{};
  set_decode_profiling(true);
  const metal::PoolStats pool_before = metal::pool_stats();
  const double io_before = expert_io_ms();
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t t = 0; t < tokens; ++t) {
    step(static_cast<int64_t>((next_++ * 7919 + sequence_ * 104729) % qwen35::kVocabSize));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const metal::PoolStats pool_after = metal::pool_stats();
  set_decode_profiling(false);
  set_record_telemetry(false);
  const double n = static_cast<double>(tokens);
  if (per_kernel) {
    metal::set_kernel_timing(false);
    for (const metal::KernelTime& k : metal::kernel_times()) {
      fmt::print(stderr, "    kernel {:<36} {:8.3f} ms/token {:7.1f} dispatches/token {:8.2f} us each\n", k.kernel,
                 k.ms / n, static_cast<double>(k.dispatches) / n, k.ms * 1e3 / static_cast<double>(k.dispatches));
    }
  }
  DecodeBreakdown b;
  double staged = 0;
  for (std::size_t s = 0; s < b.stage_ms.size(); ++s) {
    b.stage_ms[s] = decode_profile().ms[s] / n;
    staged += b.stage_ms[s];
  }
  b.other_ms = seconds * 1e3 / n - staged;
  b.reads_landed_ms = decode_profile().reads_landed_ms / n;
  b.stage_waiting_ms = decode_profile().stage_waiting_ms / n;
  b.records_read = static_cast<double>(decode_profile().records_read) / n;
  b.records_in_place = static_cast<double>(decode_profile().records_in_place) / n;
  b.prediction_hit_rate = static_cast<double>(decode_profile().predicted_hits) /
                          static_cast<double>(decode_profile().predicted_records);
  b.warmed_used_rate =
      static_cast<double>(decode_profile().warmed_used) / static_cast<double>(decode_profile().warmed_records);
  b.pool_regions = static_cast<double>(pool_after.regions - pool_before.regions) / n;
  b.pool_wait_ms = static_cast<double>(pool_after.wait_ns - pool_before.wait_ns) / 1e6 / n;
  for (std::size_t s = 0; s < b.busy.size(); ++s) {
    const double wall = decode_profile().busy_wall_ms[s];
    if (wall > 0) b.busy[s] = decode_profile().busy_thread_ms[s] / (wall * metal::worker_count());
  }
  return {seconds / n, (expert_io_ms() - io_before) / n, b};
}

std::string format_breakdown(const DecodeBreakdown& b) {
  std::string out;
  for (std::size_t s = 0; s < b.stage_ms.size(); ++s) out += fmt::format("{} {:.2f}, ", kDecodeStageNames[s], b.stage_ms[s]);
  const double records = b.records_read + b.records_in_place;
  out += fmt::format("other {:.2f} ms (in experts: {:.0f}% of records used in place, reads landed after {:.2f}, "
                     "stage waited {:.2f}); pool: {:.0f} barriers, {:.2f} ms waiting",
                     b.other_ms, records > 0 ? 100.0 * b.records_in_place / records : 0.0, b.reads_landed_ms,
                     b.stage_waiting_ms, b.pool_regions, b.pool_wait_ms);
  if (!std::isnan(b.prediction_hit_rate)) out += fmt::format("; next layer's experts guessed right: {:.2f}", b.prediction_hit_rate);
  if (!std::isnan(b.warmed_used_rate)) out += fmt::format(", records warmed ahead used: {:.2f}", b.warmed_used_rate);
  out += "; threads busy:";
  for (std::size_t s = 0; s < b.busy.size(); ++s) {
    if (s != static_cast<std::size_t>(DecodeStage::Routing)) out += fmt::format(" {} {:.2f}", kDecodeStageNames[s], b.busy[s]);
  }
  return out;
}

void Decoder::step(int64_t id) {
  Engine& e = engine_->engine();
  if (auto r = e.embed_lookup(std::span(&id, 1), row_); !r) throw std::runtime_error(r.error().to_string());
  auto logits = e.forward_hidden(row_, nullptr);
  if (!logits) throw std::runtime_error(logits.error().to_string());
}

double Decoder::expert_io_ms() const {
  const TelemetryMap t = engine_->engine().telemetry();
  auto it = t.find("engine.expert_io_ms");
  return it == t.end() || !it->second.is_scalar() ? 0.0 : std::get<double>(it->second.value);
}

double median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

}  // namespace varkel::bench
