// The forward pass of both engines against the independent double-precision
// reference, the two attention cores against each other, and the pass's
// interrupt, sequence-length and telemetry behaviour.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <utility>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "engine/qwen35_moe/forward_core.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "engine/qwen35_moe/pre_expert.h"
#include "engine/telemetry.h"
#include "forward/reference_pass.h"
#include "forward/weight_parts.h"
#include "model/model.h"
#include "model/scratch_dir.h"
#include "support/test_model_writer.h"

namespace varkel {
namespace {

using qwen35::AttentionMode;
using testing_support::ScratchDir;

// StrippedModel with a 512-row vocabulary, so the lm head stays small. Only
// tests name it: engine selection knows FullModel and StrippedModel alone.
struct SmallVocabModel : StrippedModel {
  static constexpr std::size_t kVocabSize = 512;
};
constexpr std::size_t kVocab = SmallVocabModel::kVocabSize;
constexpr std::size_t kHidden = 2048;

template <AttentionMode M>
using SmallEngine = qwen35::FusedEngine<SmallVocabModel, M>;

// One model directory per option set, written once for the whole binary.
struct TestModel {
  ScratchDir dir;
  std::shared_ptr<const Model> model;
  std::unique_ptr<test::ReferenceWeights> reference;
};

TestModel& shared_model(bool with_omissions) {
  static std::unique_ptr<TestModel> models[2];
  std::unique_ptr<TestModel>& slot = models[with_omissions ? 1 : 0];
  if (!slot) {
    slot = std::make_unique<TestModel>();
    test_support::TestModelOptions options;
    options.vocab_rows = kVocab;
    options.seed = 7;
    if (with_omissions) {
      // Layer 1 without its shared down projection, layer 2 without its input norm.
      options.omit = [](const std::string& name) {
        return name == "language_model.model.layers.1.mlp.shared_expert.down_proj.weight" ||
               name == "language_model.model.layers.2.input_layernorm.weight";
      };
    }
    test_support::write_test_model(slot->dir.path(), options);
    auto loaded = Model::load_shared(slot->dir.path().string());
    EXPECT_TRUE(loaded.has_value());
    slot->model = *loaded;
    slot->reference = std::make_unique<test::ReferenceWeights>(slot->dir.path());
  }
  return *slot;
}

template <AttentionMode M>
std::unique_ptr<SmallEngine<M>> make_engine(const TestModel& m, std::size_t k = 0) {
  auto engine = SmallEngine<M>::create(m.model, k);
  EXPECT_TRUE(engine.has_value()) << (engine ? "" : engine.error().to_string());
  return std::move(*engine);
}

std::vector<float> embed(const Engine& engine, const std::vector<int64_t>& ids) {
  std::vector<float> out(ids.size() * kHidden);
  EXPECT_TRUE(engine.embed_lookup(ids, out).has_value());
  return out;
}

std::size_t argmax(std::span<const float> row) {
  return static_cast<std::size_t>(std::max_element(row.begin(), row.end()) - row.begin());
}

// ||a - b|| / ||b|| over one logits row.
double relative_error(std::span<const float> got, std::span<const double> want) {
  double diff = 0, norm = 0;
  for (std::size_t i = 0; i < want.size(); ++i) {
    diff += (got[i] - want[i]) * (got[i] - want[i]);
    norm += want[i] * want[i];
  }
  return std::sqrt(diff / norm);
}

Cache fresh_cache(const TestModel& m) {
  auto cache = Cache::create(m.model->config());
  EXPECT_TRUE(cache.has_value());
  return std::move(*cache);
}

// Two tokens in a first call, two more continuing the cache.
const std::vector<int64_t> kFirstCall{5, 300};
const std::vector<int64_t> kSecondCall{42, 511};

// The reference's logits for the four tokens from a fresh state, computed
// once per model and k.
const std::vector<std::vector<double>>& reference_rows(const TestModel& m, std::size_t k) {
  static std::map<std::pair<const TestModel*, std::size_t>, std::vector<std::vector<double>>> cache;
  auto [it, inserted] = cache.try_emplace({&m, k});
  if (inserted) {
    test::ReferenceState state(3, 1);
    for (const auto* ids : {&kFirstCall, &kSecondCall}) {
      for (int64_t id : *ids) {
        it->second.push_back(test::reference_token(*m.reference, state, m.reference->embedding(id),
                                                   test::ReferenceShape{4, 4, k, kVocab}));
      }
    }
  }
  return it->second;
}

// The engine differs from the reference only by f32 rounding: both decode the
// same stored weights, the reference exactly and in double. Each f32 dot
// product over n <= 4096 terms carries a relative error of order
// sqrt(n) x 2^-24 ~ 4e-6 with random signs, a few dozen such steps feed each
// logit, and the norms and softmaxes do not amplify it. Observed: 3e-6 to
// 5e-6. 1e-4 leaves a factor of 20 for other summation orders (SIMD width,
// thread split) and still catches a wrong formula, binding or ordering, which
// moves the logits by whole percents.
constexpr double kReferenceTolerance = 1e-4;

template <AttentionMode M>
void expect_matches_reference(const TestModel& m, std::size_t k) {
  SCOPED_TRACE(M == AttentionMode::FusedExp1 ? "FusedExp1" : "FusedExp2");
  auto engine = make_engine<M>(m, k);
  const std::vector<std::vector<double>>& want = reference_rows(m, engine->state().k);
  const std::vector<int64_t>& first = kFirstCall;
  const std::vector<int64_t>& second = kSecondCall;

  // Two tokens in one call, then the cache travels out and back in for two more.
  Cache cache = fresh_cache(m);
  ASSERT_TRUE(engine->upload_cache(cache).has_value());
  auto got = engine->forward_hidden(embed(*engine, first), nullptr);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  ASSERT_EQ(got->size(), first.size() * kVocab);
  ASSERT_TRUE(engine->download_cache(cache).has_value());
  EXPECT_EQ(cache.pos, first.size());
  auto other = make_engine<M>(m, k);
  ASSERT_TRUE(other->upload_cache(cache).has_value());
  auto got2 = other->forward_hidden(embed(*other, second), nullptr);
  ASSERT_TRUE(got2.has_value()) << got2.error().to_string();

  auto check = [&](const std::vector<float>& rows, std::size_t first_token, std::size_t count) {
    for (std::size_t t = 0; t < count; ++t) {
      const std::span<const float> row(rows.data() + t * kVocab, kVocab);
      const std::vector<double>& ref = want[first_token + t];
      std::vector<float> ref_f(ref.begin(), ref.end());
      EXPECT_EQ(argmax(row), argmax(ref_f)) << "token " << first_token + t;
      EXPECT_LT(relative_error(row, ref), kReferenceTolerance) << "token " << first_token + t;
    }
  };
  check(*got, 0, first.size());
  check(*got2, first.size(), second.size());
}

TEST(ForwardTest, BothEnginesMatchTheReferenceAcrossCalls) {
  const TestModel& m = shared_model(false);
  expect_matches_reference<AttentionMode::FusedExp1>(m, 0);
  expect_matches_reference<AttentionMode::FusedExp2>(m, 0);
  // Two of four experts: the routing itself must agree with the reference.
  expect_matches_reference<AttentionMode::FusedExp2>(m, 2);
}

TEST(ForwardTest, MissingSharedDownProjectionAndNextInputNormFollowTheReference) {
  const TestModel& m = shared_model(true);
  testing::internal::CaptureStderr();
  expect_matches_reference<AttentionMode::FusedExp1>(m, 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[fused] WARNING: shared expert down_proj tensor not found: "
                     "language_model.model.layers.1.mlp.shared_expert.down_proj\n"),
            std::string::npos);
}

TEST(ForwardTest, ExpertStageParamsHoldTheRenormalisedWeightsThenTheRawSharedScore) {
  const TestModel& m = shared_model(false);
  auto engine = make_engine<AttentionMode::FusedExp1>(m, 1);
  ASSERT_TRUE(engine->forward_hidden(embed(*engine, {77}), nullptr).has_value());
  // After the pass the last layer's router logits, shared score and params
  // are still in their buffers.
  const qwen35::EngineState& st = engine->state();
  const auto* logits = static_cast<const float*>(st.ctx.buf_router_logits->contents());
  float m_max = -std::numeric_limits<float>::infinity();
  for (int i = 0; i < 4; ++i) m_max = std::fmax(m_max, logits[i]);
  float sum = 0.0f, top = 0.0f;
  for (int i = 0; i < 4; ++i) sum += std::exp(logits[i] - m_max);
  for (int i = 0; i < 4; ++i) top = std::max(top, std::exp(logits[i] - m_max) * (1.0f / sum));
  const auto* params = static_cast<const float*>(st.experts.params->contents());
  EXPECT_EQ(params[0], (-0.0f + top) * (1.0f / (-0.0f + top)));
  for (int i = 1; i < 8; ++i) EXPECT_EQ(params[i], 0.0f) << i;
  EXPECT_EQ(params[8], static_cast<const float*>(st.ctx.buf_shared_gate_score->contents())[0]);
  EXPECT_EQ(params[9], 0.0f);
}

// A cache at `pos` with random key/value rows below it and random linear state.
Cache random_cache(const TestModel& m, std::size_t pos, uint32_t seed) {
  Cache cache = fresh_cache(m);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  for (State& layer : cache.layers) {
    if (auto* full = std::get_if<FullState>(&layer)) {
      for (std::size_t i = 0; i < pos * 512; ++i) {
        full->k_cache[i] = uni(rng);
        full->v_cache[i] = uni(rng);
      }
      full->len = pos;
    } else {
      auto& linear = std::get<LinearState>(layer);
      for (float& v : linear.conv_state) v = uni(rng);
      for (float& v : linear.ssm_state) v = 0.05f * uni(rng);
    }
  }
  cache.pos = pos;
  return cache;
}

TEST(ForwardTest, SinglePassAndBlockedAttentionAgreeAtBlockEdgesAndLongSequences) {
  const TestModel& m = shared_model(false);
  auto exp1 = make_engine<AttentionMode::FusedExp1>(m);
  auto exp2 = make_engine<AttentionMode::FusedExp2>(m);
  // Positions 0..1, 30..33 (one block, a full block, a block of one), and
  // far into the cache up to the last row.
  for (std::size_t start : {0u, 30u, 1000u, 4093u}) {
    SCOPED_TRACE("start " + std::to_string(start));
    const std::size_t tokens = start == 30 ? 4 : start == 4093 ? 3 : 2;
    const Cache cache = random_cache(m, start, static_cast<uint32_t>(start + 1));
    ASSERT_TRUE(exp1->upload_cache(cache).has_value());
    ASSERT_TRUE(exp2->upload_cache(cache).has_value());
    std::vector<int64_t> ids;
    for (std::size_t t = 0; t < tokens; ++t) ids.push_back(static_cast<int64_t>((start * 7 + t * 31) % kVocab));
    auto a = exp1->forward_hidden(embed(*exp1, ids), nullptr);
    auto b = exp2->forward_hidden(embed(*exp2, ids), nullptr);
    ASSERT_TRUE(a.has_value() && b.has_value());
    for (std::size_t t = 0; t < tokens; ++t) {
      const std::span<const float> ra(a->data() + t * kVocab, kVocab);
      const std::span<const float> rb(b->data() + t * kVocab, kVocab);
      std::vector<double> rb_d(rb.begin(), rb.end());
      EXPECT_EQ(argmax(ra), argmax(rb)) << "position " << start + t;
      // Same data, two summation orders of a softmax-weighted mean: f32 rounding only.
      EXPECT_LT(relative_error(ra, rb_d), 1e-4) << "position " << start + t;
    }
    Cache out_a = fresh_cache(m), out_b = fresh_cache(m);
    ASSERT_TRUE(exp1->download_cache(out_a).has_value());
    ASSERT_TRUE(exp2->download_cache(out_b).has_value());
    EXPECT_EQ(out_a.pos, start + tokens);
    // The appended key rows do not depend on the attention core.
    const auto& ka = std::get<FullState>(out_a.layers[3]).k_cache;
    const auto& kb = std::get<FullState>(out_b.layers[3]).k_cache;
    for (std::size_t i = start * 512; i < (start + tokens) * 512; ++i) ASSERT_EQ(ka[i], kb[i]);
  }
}

TEST(ForwardTest, InterruptsStopBeforeTheNextLayer) {
  const TestModel& m = shared_model(false);
  auto engine = make_engine<AttentionMode::FusedExp2>(m);
  const std::vector<float> x = embed(*engine, {3, 9});
  ASSERT_TRUE(engine->upload_cache(fresh_cache(m)).has_value());

  const metal::CommandQueue& queue = *engine->state().ctx.queue;
  int polls = 0;
  auto first = engine->forward_hidden(x, [&] { return ++polls == 1; });
  ASSERT_FALSE(first.has_value());
  EXPECT_EQ(first.error().to_string(), "Metal error: interrupted");
  EXPECT_EQ(polls, 1);
  EXPECT_EQ(engine->state().ctx.pos, 0u);
  EXPECT_EQ(queue.commit_count(), 0u);

  // Four polls for the first token, then layer 0 and layer 1 of the second.
  polls = 0;
  auto second = engine->forward_hidden(x, [&] { return ++polls == 6; });
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().message(), "interrupted");
  EXPECT_EQ(polls, 6);
  EXPECT_EQ(engine->state().ctx.pos, 1u);
  // Layers + 2 submissions for the finished token, then layer 0's alone:
  // layer 0's expert stage, waiting for layer 1, is never committed.
  EXPECT_EQ(queue.commit_count(), 6u + 1u);

  // Fewer than 2048 floats: nothing at all, not even a poll; a partial row is ignored.
  polls = 0;
  auto none = engine->forward_hidden(std::span(x).first(2047), [&] { return ++polls > 100; });
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(polls, 0);
  auto one = engine->forward_hidden(std::span(x).first(2048 + 100), [&] { return ++polls > 100; });
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->size(), kVocab);
  EXPECT_EQ(polls, 4);
  EXPECT_EQ(queue.commit_count(), 7u + 6u);
}

TEST(ForwardTest, PositionMaxSeqIsRefusedAtTheFullAttentionLayer) {
  const TestModel& m = shared_model(false);
  auto engine = make_engine<AttentionMode::FusedExp1>(m);
  const std::vector<float> x = embed(*engine, {11});
  ASSERT_TRUE(engine->upload_cache(random_cache(m, 4095, 3)).has_value());
  int polls = 0;
  auto last = engine->forward_hidden(x, [&] { return ++polls < 0; });
  ASSERT_TRUE(last.has_value());
  Cache at_max = fresh_cache(m);
  ASSERT_TRUE(engine->download_cache(at_max).has_value());
  EXPECT_EQ(at_max.pos, 4096u);

  polls = 0;
  const std::size_t commits_before = engine->state().ctx.queue->commit_count();
  auto refused = engine->forward_hidden(x, [&] { return ++polls < 0; });
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().to_string(), "Config error: sequence position 4096 exceeds MAX_SEQ (4096)");
  EXPECT_EQ(polls, 4);  // layers 0 to 3 were reached
  // Layers 0 to 2 were submitted; layer 3's command buffer (with layer 2's
  // expert stage) was dropped before its commit.
  EXPECT_EQ(engine->state().ctx.queue->commit_count() - commits_before, 3u);
  Cache after = fresh_cache(m);
  ASSERT_TRUE(engine->download_cache(after).has_value());
  EXPECT_EQ(after.pos, 4096u);
  // Layers 0 to 2 ran (their recurrent state moved on); layer 3 wrote nothing.
  for (std::size_t l = 0; l < 3; ++l) {
    EXPECT_NE(std::get<LinearState>(after.layers[l]).ssm_state, std::get<LinearState>(at_max.layers[l]).ssm_state)
        << "layer " << l;
  }
  EXPECT_EQ(std::get<FullState>(after.layers[3]).k_cache, std::get<FullState>(at_max.layers[3]).k_cache);
}

double scalar(const TelemetryMap& map, const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? -1.0 : std::get<double>(it->second.value);
}

TEST(ForwardTest, TelemetryGrowsPerLayerAndPerCallOnlyWhileSwitchedOn) {
  const TestModel& m = shared_model(false);
  auto engine = make_engine<AttentionMode::FusedExp2>(m);
  const std::vector<float> x = embed(*engine, {1, 2});
  set_record_telemetry(false);
  ASSERT_TRUE(engine->forward_hidden(x, nullptr).has_value());
  EXPECT_TRUE(engine->telemetry().empty());

  set_record_telemetry(true);
  std::vector<double> io_at_poll, total_at_poll;
  auto record = [&] {
    const TelemetryMap now = engine->telemetry();
    io_at_poll.push_back(scalar(now, "engine.expert_io_ms"));
    total_at_poll.push_back(scalar(now, "engine.total_ms"));
    return false;
  };
  ASSERT_TRUE(engine->forward_hidden(x, record).has_value());
  set_record_telemetry(false);
  ASSERT_EQ(io_at_poll.size(), 8u);
  // Every layer's reads are added before the next layer's poll.
  EXPECT_EQ(io_at_poll[0], -1.0);
  for (std::size_t i = 1; i < io_at_poll.size(); ++i) EXPECT_GT(io_at_poll[i], io_at_poll[i - 1]) << i;
  // The whole call is added once, at its end.
  for (double total : total_at_poll) EXPECT_EQ(total, -1.0);
  const TelemetryMap after = engine->telemetry();
  EXPECT_GT(scalar(after, "engine.expert_io_ms"), io_at_poll.back());
  EXPECT_GE(scalar(after, "engine.total_ms"), scalar(after, "engine.expert_io_ms"));

  // Switched off again: nothing more is added.
  ASSERT_TRUE(engine->forward_hidden(x, nullptr).has_value());
  EXPECT_EQ(engine->telemetry(), after);
  // The map handed out is a copy.
  TelemetryMap copy = engine->telemetry();
  copy.clear();
  EXPECT_EQ(engine->telemetry(), after);
}

// What one stage recorded, never committed: its error and the dispatches
// before it.
struct StageOutcome {
  std::string error;
  std::size_t dispatches;
  std::string stderr_text;
  std::vector<metal::RecordedDispatch> recorded;
};

template <class Encode>
StageOutcome run_stage(const qwen35::MetalContext& ctx, Encode encode) {
  metal::CommandBufferPtr cmd = ctx.queue->command_buffer();
  metal::ComputeCommandEncoderPtr enc = cmd->compute_command_encoder();
  testing::internal::CaptureStderr();
  Status status = encode(*enc);
  std::string text = testing::internal::GetCapturedStderr();
  enc->end_encoding();
  return {status ? std::string() : status.error().to_string(), cmd->dispatch_count(), std::move(text),
          cmd->recorded_dispatches()};
}

// One expected dispatch: buffers bound at 0, 1, ... in order, then the
// constants at the indices after them. An empty kernel name stands for the
// weight mat-vec, whatever its storage type: x and out are its last two
// buffers, out_dim and in_dim its first two constants, ceil(out_dim / 8)
// threadgroups of 256.
struct WantDispatch {
  std::string kernel;
  std::vector<qwen35::Operand> buffers;
  std::vector<uint32_t> constants;
  metal::Size threadgroups;
  uint64_t threads = 256;
};

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

WantDispatch matvec(const qwen35::Operand& x, const qwen35::Operand& out, uint32_t out_dim, uint32_t in_dim) {
  return {"", {x, out}, {out_dim, in_dim}, {(out_dim + 7) / 8, 1, 1}};
}

void expect_dispatches(const std::vector<metal::RecordedDispatch>& got, const std::vector<WantDispatch>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE("dispatch " + std::to_string(i + 1) + " " + got[i].kernel);
    const WantDispatch& w = want[i];
    const metal::RecordedDispatch& g = got[i];
    EXPECT_EQ(g.threadgroups.width, w.threadgroups.width);
    EXPECT_EQ(g.threadgroups.height, w.threadgroups.height);
    EXPECT_EQ(g.threads.width, w.threads);
    if (w.kernel.empty()) {
      ASSERT_GE(g.buffers.size(), 2u);
      ASSERT_GE(g.constants.size(), 2u);
      const std::size_t n = g.buffers.size();
      EXPECT_EQ(g.buffers[n - 2].buffer, w.buffers[0].buffer);
      EXPECT_EQ(g.buffers[n - 1].buffer, w.buffers[1].buffer);
      EXPECT_EQ(g.constants[0].bits, w.constants[0]);
      EXPECT_EQ(g.constants[1].bits, w.constants[1]);
      continue;
    }
    EXPECT_EQ(g.kernel, w.kernel);
    ASSERT_EQ(g.buffers.size(), w.buffers.size());
    for (std::size_t b = 0; b < w.buffers.size(); ++b) {
      EXPECT_EQ(g.buffers[b].index, b);
      // A null expected buffer: one the stage made itself (the partials).
      if (w.buffers[b].buffer) {
        EXPECT_EQ(g.buffers[b].buffer, w.buffers[b].buffer) << "buffer " << b;
      }
      EXPECT_EQ(g.buffers[b].offset, w.buffers[b].offset) << "buffer " << b;
    }
    ASSERT_EQ(g.constants.size(), w.constants.size());
    for (std::size_t c = 0; c < w.constants.size(); ++c) {
      EXPECT_EQ(g.constants[c].index, w.buffers.size() + c);
      EXPECT_EQ(g.constants[c].bits, w.constants[c]) << "constant " << c;
    }
  }
}

using StageFn = std::function<Status(const WeightFile&, const qwen35::WeightBuffer&, const qwen35::MetalContext&,
                                     metal::ComputeCommandEncoder&)>;

// The stage over a hand-built weight file (so that tensors can be left out),
// with a context and weight buffer of its own.
StageOutcome stage_over(std::vector<test::WeightPart> parts, const StageFn& stage) {
  parts.push_back(test::bf16_part("unused", std::vector<float>(32, 0.0f)));  // never an empty mapping
  ScratchDir dir;
  const WeightFile weights = test::write_weight_parts(dir.path(), parts);
  auto made = qwen35::MetalContext::create<SmallVocabModel>(weights, 0, "FusedExp2");
  EXPECT_TRUE(made.has_value());
  return run_stage(made->ctx, [&](metal::ComputeCommandEncoder& enc) {
    return stage(weights, made->weights, made->ctx, enc);
  });
}

StageFn full_stage(AttentionMode mode) {
  return [mode](const WeightFile& w, const qwen35::WeightBuffer& wb, const qwen35::MetalContext& ctx,
                metal::ComputeCommandEncoder& enc) {
    return qwen35::encode_pre_expert_full(mode, w, wb, ctx, enc, 3, 0, 40, 4);
  };
}

StageFn linear_stage(uint32_t layer) {
  return [layer](const WeightFile& w, const qwen35::WeightBuffer& wb, const qwen35::MetalContext& ctx,
                 metal::ComputeCommandEncoder& enc) {
    return qwen35::encode_pre_expert_linear(w, wb, ctx, enc, layer, layer, 4);
  };
}

TEST(PreExpertStageTest, RequiredTensorsFailInOrderAndOptionalOnesAreSkipped) {
  const std::string L3 = "language_model.model.layers.3";
  const auto norm = [](std::string name) { return test::bf16_part(std::move(name), std::vector<float>(2048, 1.0f)); };
  const auto head_norm = [](std::string name) { return test::bf16_part(std::move(name), std::vector<float>(256, 1.0f)); };
  const StageFn exp1 = full_stage(AttentionMode::FusedExp1);

  StageOutcome none = stage_over({}, exp1);
  EXPECT_EQ(none.error, "Config error: tensor not found: " + L3 + ".input_layernorm.weight");
  EXPECT_EQ(none.dispatches, 0u);

  StageOutcome no_q_norm = stage_over({norm(L3 + ".input_layernorm.weight")}, exp1);
  EXPECT_EQ(no_q_norm.error, "Config error: q_norm.weight missing");
  EXPECT_EQ(no_q_norm.dispatches, 1u);  // the input norm; q, k and v found nothing
  EXPECT_NE(no_q_norm.stderr_text.find("[encode_matvec_into] WARNING: tensor not found: " + L3 +
                                       ".self_attn.v_proj.weight\n"),
            std::string::npos);

  StageOutcome no_k_norm =
      stage_over({norm(L3 + ".input_layernorm.weight"), head_norm(L3 + ".self_attn.q_norm.weight")}, exp1);
  EXPECT_EQ(no_k_norm.error, "Config error: k_norm.weight missing");
  EXPECT_EQ(no_k_norm.dispatches, 2u);

  // Without the post-attention norm: norm, q rope, k rope, append, the
  // attention core (one dispatch or two), gate and residual add ran first.
  const std::vector<test::WeightPart> no_post{norm(L3 + ".input_layernorm.weight"),
                                              head_norm(L3 + ".self_attn.q_norm.weight"),
                                              head_norm(L3 + ".self_attn.k_norm.weight")};
  StageOutcome single = stage_over(no_post, exp1);
  EXPECT_EQ(single.error, "Config error: tensor not found: " + L3 + ".post_attention_layernorm.weight");
  EXPECT_EQ(single.dispatches, 7u);
  EXPECT_EQ(stage_over(no_post, full_stage(AttentionMode::FusedExp2)).dispatches, 8u);

  // The linear stage without any tensor: only the q/k norm, the decay (fed by
  // the a and b projections), the delta-net step and the residual add run,
  // then the post-attention norm is missing.
  StageOutcome linear = stage_over({}, linear_stage(1));
  EXPECT_EQ(linear.error,
            "Config error: tensor not found: language_model.model.layers.1.post_attention_layernorm.weight");
  EXPECT_EQ(linear.dispatches, 4u);
  EXPECT_NE(linear.stderr_text.find("tensor not found: language_model.model.layers.1.linear_attn.in_proj_z.weight"),
            std::string::npos);

  // With every tensor of the model: sixteen dispatches, seventeen for the blocked core.
  const TestModel& m = shared_model(false);
  auto engine = make_engine<AttentionMode::FusedExp2>(m);
  const qwen35::EngineState& st = engine->state();
  auto on_model = [&](const StageFn& stage) {
    return run_stage(st.ctx, [&](metal::ComputeCommandEncoder& enc) {
      return stage(m.model->weights(), st.weights, st.ctx, enc);
    });
  };
  const qwen35::MetalContext& c = st.ctx;
  auto weight = [&](const std::string& name) {
    const TensorInfo* info = m.model->weights().find(name);
    EXPECT_NE(info, nullptr) << name;
    return qwen35::Operand(st.weights.buffer, info ? info->offset : 0);
  };
  const std::string S = L3 + ".self_attn";
  const uint32_t eps = bits(1e-6f);
  // Layer 3 at position 40: seq_len 41, two blocks of 32.
  auto full_dispatches = [&](AttentionMode mode) {
    std::vector<WantDispatch> want{
        {"rms_norm_fused_bf16", {c.buf_hidden, weight(L3 + ".input_layernorm.weight"), c.buf_attn_normed},
         {2048, eps}, {1, 1, 1}},
        matvec(c.buf_attn_normed, c.buf_q_proj, 8192, 2048),
        matvec(c.buf_attn_normed, c.buf_k, 512, 2048),
        matvec(c.buf_attn_normed, c.buf_v, 512, 2048),
        {"q_head_norm_rope", {c.buf_q_proj, weight(S + ".q_norm.weight"), c.buf_q, c.buf_q_gate},
         {256, 64, bits(1e7f), 40, eps}, {16, 1, 1}},
        {"k_head_norm_rope", {c.buf_k, weight(S + ".k_norm.weight")}, {256, 64, bits(1e7f), 40, eps}, {2, 1, 1}},
        {"kv_cache_append", {c.buf_k, c.buf_v, c.k_cache_buffers[0], c.v_cache_buffers[0]}, {40, 512}, {2, 1, 1}}};
    if (mode == AttentionMode::FusedExp1) {
      want.push_back({"attn_sdpa_fused", {c.buf_q, c.k_cache_buffers[0], c.v_cache_buffers[0], c.buf_attn_out},
                      {41, bits(0.0625f)}, {16, 1, 1}});
    } else {
      want.push_back({"attn_sdpa_block", {c.buf_q, c.k_cache_buffers[0], c.v_cache_buffers[0], {}},
                      {41, 2, bits(0.0625f)}, {16, 2, 1}});
      want.push_back({"attn_sdpa_reduce", {{}, c.buf_attn_out}, {2}, {16, 1, 1}});
    }
    want.push_back({"sigmoid_gate", {c.buf_attn_out, c.buf_q_gate}, {4096}, {16, 1, 1}});
    want.push_back(matvec(c.buf_attn_out, c.buf_attn_proj, 2048, 4096));
    return want;
  };
  auto post_attention = [&](const std::string& layer, std::vector<WantDispatch> want) {
    want.push_back({"residual_add", {c.buf_attn_proj, c.buf_hidden, c.buf_h_mid}, {2048}, {8, 1, 1}});
    want.push_back({"rms_norm_fused_bf16", {c.buf_h_mid, weight(layer + ".post_attention_layernorm.weight"),
                                            c.buf_mlp_in}, {2048, eps}, {1, 1, 1}});
    want.push_back(matvec(c.buf_mlp_in, c.buf_router_logits, 4, 2048));
    want.push_back(matvec(c.buf_mlp_in, c.buf_shared_gate, 512, 2048));
    want.push_back(matvec(c.buf_mlp_in, c.buf_shared_up, 512, 2048));
    want.push_back(matvec(c.buf_mlp_in, c.buf_shared_gate_score, 1, 2048));
    return want;
  };
  for (auto [mode, expected] : {std::pair{AttentionMode::FusedExp1, 16u}, std::pair{AttentionMode::FusedExp2, 17u}}) {
    StageOutcome ok = on_model(full_stage(mode));
    EXPECT_EQ(ok.error, "");
    EXPECT_EQ(ok.dispatches, expected);
    expect_dispatches(ok.recorded, post_attention(L3, full_dispatches(mode)));
    // The blocked pair shares the partials buffer the stage made.
    if (mode == AttentionMode::FusedExp2) {
      ASSERT_EQ(ok.recorded.size(), 17u);
      EXPECT_EQ(ok.recorded[7].buffers[3].buffer, ok.recorded[8].buffers[0].buffer);
      EXPECT_EQ(ok.recorded[7].buffers[3].buffer->length(), 2u * 16 * 1032);
    }
  }
  StageOutcome ok_linear = on_model(linear_stage(2));
  EXPECT_EQ(ok_linear.error, "");
  EXPECT_EQ(ok_linear.dispatches, 16u);
  const std::string L2 = "language_model.model.layers.2";
  const std::string A = L2 + ".linear_attn";
  const auto& scratch = c.linear_scratch;
  const qwen35::Operand q(c.buf_conv_out, 0), k(c.buf_conv_out, 8192), v(c.buf_conv_out, 16384);
  expect_dispatches(
      ok_linear.recorded,
      post_attention(
          L2, {matvec(c.buf_normed, scratch[0], 8192, 2048),
               matvec(c.buf_normed, scratch[1], 4096, 2048),
               matvec(c.buf_normed, scratch[2], 32, 2048),
               matvec(c.buf_normed, scratch[3], 32, 2048),
               {"conv1d_step", {c.conv_state_buffers[2], scratch[0], weight(A + ".conv1d.weight"), c.buf_conv_out},
                {8192}, {32, 1, 1}},
               {"rms_norm_qk", {q, k}, {128, 0x3DB504F3u}, {16, 1, 1}, 128},
               {"compute_decay_beta",
                {scratch[3], scratch[2], weight(A + ".A_log"), weight(A + ".dt_bias"), c.buf_g_decay, c.buf_beta_gate},
                {}, {1, 1, 1}, 32},
               {"gated_delta_net_step",
                {c.ssm_state_buffers[2], q, k, v, c.buf_g_decay, c.buf_beta_gate, c.buf_delta_out}, {2}, {32, 1, 1},
                128},
               {"gated_rms_norm", {c.buf_delta_out, scratch[1], weight(A + ".norm.weight"), scratch[6]}, {128, eps},
                {32, 1, 1}, 128},
               matvec(scratch[6], c.buf_attn_proj, 2048, 4096)}));
}

// The library source without the declaration of `kernel`.
std::string source_without(std::string_view kernel) {
  std::string source(embedded_shader_source());
  const std::size_t begin = source.find("kernel void " + std::string(kernel) + "(");
  EXPECT_NE(begin, std::string::npos);
  const std::size_t end = source.find(");", begin);
  source.erase(begin, end + 2 - begin);
  return source;
}

TEST(ForwardTest, MissingOptionalPipelinesFailThePassBeforeTheTokenFinishes) {
  const TestModel& m = shared_model(false);
  const std::vector<int64_t> ids{8};
  // Commits before the failure: layer 0's stage ran before its expert stage
  // failed; layers 0 to 2 before layer 3's attention; none before layer 0's
  // convolution. Nothing encoded after the last of them was committed.
  struct Case {
    const char* kernel;
    AttentionMode mode;
    std::size_t commits;
  };
  for (auto [kernel, mode, commits] : {Case{"moe_combine_residual", AttentionMode::FusedExp1, 1},
                                       Case{"attn_sdpa_block", AttentionMode::FusedExp2, 3},
                                       Case{"conv1d_step", AttentionMode::FusedExp1, 0}}) {
    const std::string source = source_without(kernel);
    Result<std::vector<float>> result;
    uint64_t pos = 99;
    std::size_t committed = 99;
    auto run = [&]<AttentionMode M>() {
      auto engine = SmallEngine<M>::create(m.model, 0, source);
      ASSERT_TRUE(engine.has_value());
      result = (*engine)->forward_hidden(embed(**engine, ids), nullptr);
      pos = (*engine)->state().ctx.pos;
      committed = (*engine)->state().ctx.queue->commit_count();
    };
    if (mode == AttentionMode::FusedExp1) {
      run.template operator()<AttentionMode::FusedExp1>();
    } else {
      run.template operator()<AttentionMode::FusedExp2>();
    }
    ASSERT_FALSE(result.has_value()) << kernel;
    EXPECT_EQ(result.error().to_string(), "Shader error: " + std::string(kernel) + " kernel missing");
    EXPECT_EQ(pos, 0u);
    EXPECT_EQ(committed, commits) << kernel;
  }
}

}  // namespace
}  // namespace varkel
