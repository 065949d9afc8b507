#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "cache/cache.h"
#include "engine/engine.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "engine_test_util.h"

namespace varkel {
namespace {

using qwen35::FusedExp2Stripped;
using qwen35::MetalContext;

constexpr std::size_t kRow = 512;

void fill_random(std::vector<float>& values, uint32_t seed) {
  std::mt19937 rng(seed);
  for (float& v : values) v = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
}

Cache random_cache(const ModelConfig& config, std::size_t pos, uint32_t seed) {
  Cache cache = *Cache::create(config);
  cache.pos = pos;
  for (State& state : cache.layers) {
    if (auto* full = std::get_if<FullState>(&state)) {
      fill_random(full->k_cache, seed++);
      fill_random(full->v_cache, seed++);
      full->len = pos;
    } else {
      auto& linear = std::get<LinearState>(state);
      fill_random(linear.conv_state, seed++);
      fill_random(linear.ssm_state, seed++);
    }
  }
  return cache;
}

std::vector<float> floats_of(const metal::BufferPtr& buffer, std::size_t count) {
  std::vector<float> out(count);
  std::memcpy(out.data(), buffer->contents(), count * sizeof(float));
  return out;
}

std::vector<float> head(const std::vector<float>& values, std::size_t count) {
  return {values.begin(), values.begin() + static_cast<std::ptrdiff_t>(count)};
}

void expect_linear_uploaded(const MetalContext& ctx, const Cache& cache) {
  for (std::size_t layer = 0; layer < 3; ++layer) {
    const auto& linear = std::get<LinearState>(cache.layers[layer]);
    EXPECT_EQ(floats_of(ctx.conv_state_buffers[layer], linear.conv_state.size()), linear.conv_state) << layer;
    EXPECT_EQ(floats_of(ctx.ssm_state_buffers[layer], linear.ssm_state.size()), linear.ssm_state) << layer;
  }
}

std::pair<uint64_t, std::vector<std::vector<uint8_t>>> snapshot(const MetalContext& ctx) {
  std::pair<uint64_t, std::vector<std::vector<uint8_t>>> shot{ctx.pos, {}};
  for (const auto* list : {&ctx.conv_state_buffers, &ctx.ssm_state_buffers, &ctx.k_cache_buffers, &ctx.v_cache_buffers}) {
    for (const auto& buffer : *list) {
      const auto* bytes = static_cast<const uint8_t*>(buffer->contents());
      shot.second.emplace_back(bytes, bytes + buffer->length());
    }
  }
  return shot;
}

bool same_cache(const Cache& a, const Cache& b) {
  if (a.pos != b.pos || a.layers.size() != b.layers.size()) return false;
  for (std::size_t i = 0; i < a.layers.size(); ++i) {
    const auto* fa = std::get_if<FullState>(&a.layers[i]);
    const auto* fb = std::get_if<FullState>(&b.layers[i]);
    const auto* la = std::get_if<LinearState>(&a.layers[i]);
    const auto* lb = std::get_if<LinearState>(&b.layers[i]);
    if (fa ? (!fb || fa->len != fb->len || fa->k_cache != fb->k_cache || fa->v_cache != fb->v_cache)
           : (!lb || la->conv_state != lb->conv_state || la->ssm_state != lb->ssm_state)) return false;
  }
  return true;
}

class CacheTransfer : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    model_ = new std::shared_ptr<const Model>(
        engine_test::write_and_load(engine_test::bare_stripped_options()));
  }
  static void TearDownTestSuite() { delete model_; }

  void SetUp() override {
    testing::internal::CaptureStderr();
    auto engine = FusedExp2Stripped::create(*model_, 0);
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(engine) << engine.error().to_string();
    engine_ = std::move(*engine);
  }
  const ModelConfig& config() const { return (*model_)->config(); }
  MetalContext& ctx() { return engine_->state().ctx; }

  static inline std::shared_ptr<const Model>* model_ = nullptr;
  std::unique_ptr<FusedExp2Stripped> engine_;
};

TEST_F(CacheTransfer, RoundTripCopiesUsedRowsAndLinearStatesThroughTheLayerMapping) {
  const Cache source = random_cache(config(), 3, 100);
  ASSERT_TRUE(engine_->upload_cache(source));
  EXPECT_EQ(ctx().pos, 3u);
  expect_linear_uploaded(ctx(), source);
  const auto& full = std::get<FullState>(source.layers[3]);
  EXPECT_EQ(floats_of(ctx().k_cache_buffers[0], 3 * kRow), head(full.k_cache, 3 * kRow));
  EXPECT_EQ(floats_of(ctx().v_cache_buffers[0], 3 * kRow), head(full.v_cache, 3 * kRow));
  EXPECT_EQ(floats_of(ctx().k_cache_buffers[0], 4 * kRow)[3 * kRow], 0.0f);  // rows from len on untouched

  Cache target = random_cache(config(), 0, 900);
  std::get<FullState>(target.layers[3]).len = 17;
  const float beyond = std::get<FullState>(target.layers[3]).k_cache[3 * kRow];
  ASSERT_TRUE(engine_->download_cache(target));
  const auto& got = std::get<FullState>(target.layers[3]);
  EXPECT_EQ(got.len, 3u);
  EXPECT_EQ(head(got.k_cache, 3 * kRow), head(full.k_cache, 3 * kRow));
  EXPECT_EQ(head(got.v_cache, 3 * kRow), head(full.v_cache, 3 * kRow));
  EXPECT_EQ(got.k_cache[3 * kRow], beyond);
  target.layers[3] = source.layers[3];
  EXPECT_TRUE(same_cache(target, source));

  // Position 0 still copies the linear states.
  const Cache fresh = random_cache(config(), 0, 8);
  ASSERT_TRUE(engine_->upload_cache(fresh));
  EXPECT_EQ(ctx().pos, 0u);
  expect_linear_uploaded(ctx(), fresh);
}

TEST_F(CacheTransfer, RefusedUploadsAndDownloadsChangeNothing) {
  ASSERT_TRUE(engine_->upload_cache(random_cache(config(), 2, 11)));
  const auto engine_before = snapshot(ctx());

  struct Case {
    std::string name;
    std::function<void(Cache&)> spoil;
    std::string message;
  };
  const Case cases[] = {
      {"too few layers", [](Cache& c) { c.layers.pop_back(); }, "layer index 3 out of range (3 layers)"},
      {"more layers than the model", [](Cache& c) { c.layers.push_back(c.layers[0]); },
       "the cache has 5 layers, the model 4"},
      {"full layer stored as linear", [](Cache& c) { c.layers[3] = c.layers[0]; }, "expected Full state"},
      {"linear layer stored as full", [](Cache& c) { c.layers[1] = c.layers[3]; }, "expected Linear state"},
      {"conv_state too long", [](Cache& c) { std::get<LinearState>(c.layers[2]).conv_state.push_back(1.0f); },
       "layer 2: conv_state holds 24577 floats, the model needs 24576"},
      // A shorter state would leave the rest of the GPU state as the last sequence left it.
      {"conv_state too short", [](Cache& c) { std::get<LinearState>(c.layers[2]).conv_state.pop_back(); },
       "layer 2: conv_state holds 24575 floats, the model needs 24576"},
      {"ssm_state too short", [](Cache& c) { std::get<LinearState>(c.layers[1]).ssm_state.resize(524288 - 128); },
       "layer 1: ssm_state holds 524160 floats, the model needs 524288"},
      {"key rows too short", [](Cache& c) { std::get<FullState>(c.layers[3]).k_cache.resize(4 * kRow - 1); },
       "layer 3: k_cache holds 2047 floats, the model needs 2097152"},
      {"value cache a row too long", [](Cache& c) { std::get<FullState>(c.layers[3]).v_cache.resize(4097 * kRow); },
       "layer 3: v_cache holds 2097664 floats, the model needs 2097152"},
  };
  const auto refusal = [](const Status& status) {
    if (status) return std::string("accepted");
    EXPECT_EQ(status.error().kind(), MoEError::Kind::Config);
    return status.error().message();
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Cache upload = random_cache(config(), 4, 50);
    c.spoil(upload);
    EXPECT_EQ(refusal(engine_->upload_cache(upload)), c.message);
    EXPECT_TRUE(snapshot(ctx()) == engine_before);

    // The same faults refuse a download, which then leaves the cache alone.
    Cache download = random_cache(config(), 4, 60);
    c.spoil(download);
    const Cache download_before = download;
    EXPECT_EQ(refusal(engine_->download_cache(download)), c.message);
    EXPECT_TRUE(same_cache(download, download_before));
  }

  Cache late = random_cache(config(), 4096, 70);
  late.pos = 4097;
  EXPECT_FALSE(engine_->upload_cache(late));
  Cache long_len = random_cache(config(), 1, 80);
  std::get<FullState>(long_len.layers[3]).len = 4097;
  EXPECT_FALSE(engine_->upload_cache(long_len));
  EXPECT_TRUE(snapshot(ctx()) == engine_before);
  ASSERT_TRUE(engine_->upload_cache(random_cache(config(), 4096, 95)));
}

}  // namespace
}  // namespace varkel
