// The forward pass of both engines against the independent double-precision
// reference, the two attention cores against each other, and the pass's
// interrupt, sequence-length and telemetry behaviour.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
#include "engine/telemetry.h"
#include "forward/reference_pass.h"
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

// f32 rounding against exact decoding gives 2e-6 to 6e-6; a wrong formula,
// binding or ordering moves the logits by whole percents.
constexpr double kReferenceTolerance = 3e-5;

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
      // Same data, two summation orders: f32 rounding only (observed <= 3e-7).
      EXPECT_LT(relative_error(ra, rb_d), 5e-6) << "position " << start + t;
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

}  // namespace
}  // namespace varkel
