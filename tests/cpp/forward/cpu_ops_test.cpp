// The engine's CPU arithmetic around the GPU stages: router softmax and
// renormalisation, embedding decode, the two RMS norms, telemetry and the
// worker pool with the parallel expert reads.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "engine/qwen35_moe/cpu_norm.h"
#include "engine/qwen35_moe/embedding.h"
#include "engine/qwen35_moe/expert_io.h"
#include "engine/qwen35_moe/router.h"
#include "engine/telemetry.h"
#include "engine/worker_pool.h"
#include "forward/weight_parts.h"
#include "model/expert/expert_file.h"
#include "model/scratch_dir.h"
#include "model/weights/weight_file.h"

namespace varkel {
namespace {

using testing_support::ScratchDir;

using test::bf16_bits;
using test::put_u16;
using test::put_u32;
using Part = test::WeightPart;

WeightFile write_weight_file(const ScratchDir& dir, const std::vector<Part>& parts) {
  return test::write_weight_parts(dir.path(), parts);
}

Part bf16_vector(std::string name, const std::vector<float>& values) { return test::bf16_part(std::move(name), values); }

TEST(RouterTest, SoftmaxTopkAndRenormalisation) {
  std::vector<float> equal(256, 0.75f);
  qwen35::softmax_in_place(equal);
  for (float p : equal) EXPECT_FLOAT_EQ(p, 1.0f / 256.0f);
  const qwen35::Routing r = qwen35::route(std::vector<float>(256, -3.0f), 8);
  EXPECT_EQ(r.experts, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  for (float w : r.weights) EXPECT_FLOAT_EQ(w, 0.125f);

  // Probabilities against a double-precision softmax.
  std::vector<float> logits{1.0f, -2.0f, 0.5f, 3.0f};
  std::vector<float> p = logits;
  qwen35::softmax_in_place(p);
  double z = 0;
  for (float l : logits) z += std::exp(static_cast<double>(l) - 3.0);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_NEAR(p[i], std::exp(logits[i] - 3.0) / z, 1e-7);
  // Bit for bit: expf of the difference, an in-order sum, one reciprocal.
  float e_sum = 0.0f;
  for (float l : logits) e_sum += std::exp(l - 3.0f);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(p[i], std::exp(logits[i] - 3.0f) * (1.0f / e_sum)) << i;
  // k = 2 keeps experts 0 and 3 (heap order: root = smaller) renormalised to sum 1.
  const qwen35::Routing two = qwen35::route(logits, 2);
  EXPECT_EQ(two.experts, (std::vector<uint32_t>{0, 3}));
  EXPECT_NEAR(two.weights[0], std::exp(-2.0) / (1 + std::exp(-2.0)), 1e-7);
  EXPECT_NEAR(two.weights[0] + two.weights[1], 1.0, 1e-7);
  const float kept = -0.0f + p[0] + p[3];
  EXPECT_EQ(two.weights[0], p[0] * (1.0f / kept));
  EXPECT_EQ(two.weights[1], p[3] * (1.0f / kept));
  // k = 1: q x (1/q) for the selected probability.
  const qwen35::Routing one = qwen35::route(logits, 1);
  EXPECT_EQ(one.experts[0], 3u);
  EXPECT_EQ(one.weights[0], p[3] * (1.0f / p[3]));

  // A NaN logit: the maximum ignores it, but the sum and every probability are NaN.
  std::vector<float> with_nan{0.0f, std::numeric_limits<float>::quiet_NaN(), 1.0f};
  qwen35::softmax_in_place(with_nan);
  for (float v : with_nan) EXPECT_TRUE(std::isnan(v));
  // Renormalisation leaves a zero or NaN total alone.
  std::vector<float> zeros{0.0f, 0.0f};
  qwen35::renormalise(zeros);
  EXPECT_EQ(zeros, (std::vector<float>{0.0f, 0.0f}));
  std::vector<float> nan_total{std::numeric_limits<float>::quiet_NaN(), 1.0f};
  qwen35::renormalise(nan_total);
  EXPECT_EQ(nan_total[1], 1.0f);
  std::vector<float> halves{0.25f, 0.75f, 1.0f};
  qwen35::renormalise(halves);
  EXPECT_EQ(halves, (std::vector<float>{0.125f, 0.375f, 0.5f}));
}

// An embedding table of `rows` rows: word w of row r holds nibbles (r + w + n) & 15,
// group g has scale 0.5 x (g + 1) and bias -(r + 1).
std::vector<Part> embedding_table(uint64_t rows) {
  Part w{"language_model.model.embed_tokens.weight", "u32", {rows, 256}, {}};
  Part s{"language_model.model.embed_tokens.scales", "bf16", {rows, 32}, {}};
  Part b{"language_model.model.embed_tokens.biases", "bf16", {rows, 32}, {}};
  for (uint64_t r = 0; r < rows; ++r) {
    for (uint32_t word = 0; word < 256; ++word) {
      uint32_t packed = 0;
      for (uint32_t n = 0; n < 8; ++n) packed |= ((static_cast<uint32_t>(r) + word + n) & 15u) << (4 * n);
      put_u32(w.bytes, packed);
    }
    for (uint32_t g = 0; g < 32; ++g) {
      put_u16(s.bytes, bf16_bits(0.5f * static_cast<float>(g + 1)));
      put_u16(b.bytes, bf16_bits(-static_cast<float>(r + 1)));
    }
  }
  return {w, s, b};
}

TEST(EmbeddingTest, DecodesNibblesLowestFirstWithTheirGroupsScaleAndBias) {
  ScratchDir dir;
  const WeightFile weights = write_weight_file(dir, embedding_table(3));
  std::vector<float> out(3 * 2048, 99.0f);
  const std::vector<int64_t> ids{2, 0, 1};
  ASSERT_TRUE(qwen35::embed_lookup(weights, ids, out).has_value());
  for (std::size_t t = 0; t < ids.size(); ++t) {
    const auto r = static_cast<uint32_t>(ids[t]);
    for (uint32_t c = 0; c < 2048; ++c) {
      const uint32_t word = c / 8, n = c % 8, g = c / 64;
      const double expected = 0.5 * (g + 1) * ((r + word + n) & 15u) - (r + 1.0);
      ASSERT_EQ(out[t * 2048 + c], expected) << "id " << r << " value " << c;
    }
  }
  // Value 70 uses scale and bias index 1 and word 8, nibble 6.
  EXPECT_EQ(out[2048 + 70], 1.0f * ((0 + 8 + 6) & 15) - 1.0f);

  // Ids outside the table fail, naming the id; earlier rows are written.
  std::fill(out.begin(), out.end(), 5.0f);
  const std::vector<int64_t> bad{1, 3};
  auto error = qwen35::embed_lookup(weights, bad, out);
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(error.error().kind(), MoEError::Kind::Config);
  EXPECT_NE(error.error().message().find("3"), std::string::npos);
  EXPECT_EQ(out[0], 0.5f * 1 - 2.0f);
  EXPECT_FALSE(qwen35::embed_lookup_row(weights, -1, out).has_value());
  // An output with room for fewer rows than ids is refused before any row.
  std::vector<float> short_out(2 * 2048 + 2047, 5.0f);
  auto too_short = qwen35::embed_lookup(weights, ids, short_out);
  ASSERT_FALSE(too_short.has_value());
  EXPECT_EQ(too_short.error().kind(), MoEError::Kind::Config);
  EXPECT_EQ(short_out[0], 5.0f);
}

TEST(EmbeddingTest, MissingOrMalformedTables) {
  // Without biases every row is zero.
  {
    ScratchDir dir;
    std::vector<Part> parts = embedding_table(2);
    parts.pop_back();
    const WeightFile weights = write_weight_file(dir, parts);
    std::vector<float> out(2048, 3.0f);
    ASSERT_TRUE(qwen35::embed_lookup_row(weights, 1, out).has_value());
    for (float v : out) ASSERT_EQ(v, 0.0f);
    // An empty manifest likewise.
    ScratchDir empty;
    const WeightFile none = write_weight_file(empty, {});
    std::fill(out.begin(), out.end(), 3.0f);
    ASSERT_TRUE(qwen35::embed_lookup_row(none, 12345, out).has_value());
    EXPECT_EQ(out[2047], 0.0f);
  }
  // A one-dimensional scales tensor, and zero groups, name the tensor.
  for (const std::vector<uint64_t>& shape : {std::vector<uint64_t>{64}, std::vector<uint64_t>{2, 0}}) {
    ScratchDir dir;
    std::vector<Part> parts = embedding_table(2);
    parts[1].shape = shape;
    const WeightFile weights = write_weight_file(dir, parts);
    std::vector<float> out(2048);
    auto error = qwen35::embed_lookup_row(weights, 0, out);
    ASSERT_FALSE(error.has_value());
    EXPECT_NE(error.error().message().find("language_model.model.embed_tokens.scales"), std::string::npos);
  }
  // A data part shorter than its shape says: the last row no longer fits.
  ScratchDir dir;
  std::vector<Part> parts = embedding_table(2);
  parts[0].bytes.resize(parts[0].bytes.size() - 4);
  const WeightFile weights = write_weight_file(dir, parts);
  std::vector<float> out(2048);
  EXPECT_TRUE(qwen35::embed_lookup_row(weights, 0, out).has_value());
  EXPECT_FALSE(qwen35::embed_lookup_row(weights, 1, out).has_value());
}

TEST(CpuNormTest, FinalAndInputNormsAgainstDoublePrecision) {
  ScratchDir dir;
  std::vector<float> w(2048);
  for (std::size_t i = 0; i < 2048; ++i) w[i] = (i % 3 == 0) ? 1.5f : -0.625f;  // exact in bf16
  const WeightFile weights = write_weight_file(
      dir, {bf16_vector("language_model.model.norm.weight", w),
            bf16_vector("language_model.model.layers.0.input_layernorm.weight", w),
            bf16_vector("short.weight", std::vector<float>(2047, 1.0f))});
  std::vector<float> x(2048);
  for (std::size_t i = 0; i < 2048; ++i) x[i] = std::sin(0.37 * static_cast<double>(i)) * 3.0;
  double s = 0;
  for (float v : x) s += static_cast<double>(v) * v;
  const double inv = 1.0 / std::sqrt(s / 2048 + 1e-6);

  std::vector<float> normed(2048);
  ASSERT_TRUE(qwen35::input_norm(weights, "language_model.model.layers.0.input_layernorm.weight", x, normed));
  std::vector<float> final_x = x;
  ASSERT_TRUE(qwen35::final_norm(weights, final_x));
  for (std::size_t i = 0; i < 2048; ++i) {
    const double expected = x[i] * inv * w[i];
    // A few f32 roundings: the sum, the square root, the reciprocal, two products.
    ASSERT_NEAR(normed[i], expected, 1e-5 * std::abs(expected) + 1e-30) << i;
    ASSERT_NEAR(final_x[i], expected, 1e-5 * std::abs(expected) + 1e-30) << i;
  }
  // Bit for bit, the f32 steps as fixed: squares summed in index order, one
  // reciprocal, then (x * inv) * w before layer 0 but x * (w * inv) after the
  // last layer; the two orders part in the last bit somewhere.
  float sum = -0.0f;
  for (float v : x) sum += v * v;
  const float inv_f = 1.0f / std::sqrt(sum * 0.00048828125f + 1e-6f);
  std::size_t orders_differ = 0;
  for (std::size_t i = 0; i < 2048; ++i) {
    ASSERT_EQ(normed[i], (x[i] * inv_f) * w[i]) << i;
    ASSERT_EQ(final_x[i], x[i] * (w[i] * inv_f)) << i;
    orders_differ += normed[i] != final_x[i];
  }
  EXPECT_GT(orders_differ, 0u);
  // Zeros stay zeros (inv = 1/sqrt(1e-6)).
  std::vector<float> zeros(2048, 0.0f);
  ASSERT_TRUE(qwen35::final_norm(weights, zeros));
  for (float v : zeros) ASSERT_EQ(v, 0.0f);
  // Absent weight: the input norm copies, the final norm leaves x alone.
  ASSERT_TRUE(qwen35::input_norm(weights, "absent.weight", x, normed));
  EXPECT_EQ(normed, x);
  ScratchDir bare_dir;
  const WeightFile bare = write_weight_file(bare_dir, {});
  std::vector<float> untouched = x;
  ASSERT_TRUE(qwen35::final_norm(bare, untouched));
  EXPECT_EQ(untouched, x);
  // A weight shorter than 2048 values is a Config error naming it.
  auto error = qwen35::input_norm(weights, "short.weight", x, normed);
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(error.error().kind(), MoEError::Kind::Config);
  EXPECT_NE(error.error().message().find("short.weight"), std::string::npos);
}

TEST(TelemetryTest, TimingAddHonoursTheSwitchAndLeavesListsAlone) {
  TelemetryMap map;
  set_record_telemetry(false);
  timing_add(map, "engine.total_ms", 5.0);
  EXPECT_TRUE(map.empty());
  set_record_telemetry(true);
  timing_add(map, "engine.total_ms", 5.0);
  timing_add(map, "engine.total_ms", 2.5);
  map.emplace("list", TelemetryValue::list({1.0}));
  timing_add(map, "list", 4.0);
  set_record_telemetry(false);
  timing_add(map, "engine.total_ms", 100.0);
  EXPECT_EQ(map.at("engine.total_ms"), TelemetryValue::scalar(7.5));
  EXPECT_EQ(map.at("list"), TelemetryValue::list({1.0}));
  const Stopwatch clock;
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  EXPECT_GE(clock.elapsed_ms(), 3.0);
  EXPECT_LT(clock.elapsed_ms(), 10'000.0);
}

TEST(WorkerPoolTest, SizeFromEnvironmentAndScopesThatWaitForEveryJob) {
  const char* saved_num = std::getenv("RAYON_NUM_THREADS");
  const char* saved_cpus = std::getenv("RAYON_RS_NUM_CPUS");
  ::setenv("RAYON_NUM_THREADS", "3", 1);
  ::setenv("RAYON_RS_NUM_CPUS", "5", 1);
  EXPECT_EQ(worker_pool_size_from_env(), 3u);
  ::setenv("RAYON_NUM_THREADS", "0", 1);
  EXPECT_EQ(worker_pool_size_from_env(), 5u);
  ::setenv("RAYON_RS_NUM_CPUS", "x", 1);
  EXPECT_EQ(worker_pool_size_from_env(), std::max(1u, std::thread::hardware_concurrency()));
  if (saved_num) ::setenv("RAYON_NUM_THREADS", saved_num, 1); else ::unsetenv("RAYON_NUM_THREADS");
  if (saved_cpus) ::setenv("RAYON_RS_NUM_CPUS", saved_cpus, 1); else ::unsetenv("RAYON_RS_NUM_CPUS");

  WorkerPool pool(2);
  std::atomic<int> done{0};
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<bool> ran_on_caller{false};
  std::vector<std::function<void()>> jobs;
  for (int i = 0; i < 8; ++i) {
    jobs.emplace_back([&] {
      if (std::this_thread::get_id() == caller) ran_on_caller = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ++done;
    });
  }
  pool.run_scope(jobs);
  EXPECT_EQ(done.load(), 8);
  EXPECT_FALSE(ran_on_caller.load());
  EXPECT_EQ(&WorkerPool::global(), &WorkerPool::global());
}

TEST(ExpertIoTest, ReadsEverySlotAndReportsAFailureOnlyAfterAllReads) {
  ScratchDir dir;
  constexpr uint64_t kSize = 64;
  std::vector<uint8_t> file(3 * kSize);
  for (std::size_t i = 0; i < file.size(); ++i) file[i] = static_cast<uint8_t>(i * 7 + 1);
  testing_support::write_file(dir / "layer_00.bin", file);
  auto experts = ExpertFile::open_raw(dir / "layer_00.bin", 0, kSize);
  ASSERT_TRUE(experts.has_value());

  std::vector<std::vector<uint8_t>> storage(4, std::vector<uint8_t>(kSize, 0));
  std::vector<std::span<uint8_t>> slots(storage.begin(), storage.end());
  TelemetryMap telemetry;
  set_record_telemetry(true);
  const std::vector<uint32_t> picks{2, 0, 1, 2};
  ASSERT_TRUE(qwen35::route_experts(*experts, picks, slots, telemetry).has_value());
  for (std::size_t i = 0; i < picks.size(); ++i) {
    ASSERT_TRUE(std::equal(storage[i].begin(), storage[i].end(), file.begin() + picks[i] * kSize));
  }
  EXPECT_TRUE(telemetry.count("engine.expert_io_ms"));

  // Expert 3 lies past the end: that read fails, the other three still land.
  for (auto& s : storage) std::fill(s.begin(), s.end(), 0);
  const TelemetryMap before = telemetry;
  const std::vector<uint32_t> with_bad{0, 3, 1, 2};
  auto error = qwen35::route_experts(*experts, with_bad, slots, telemetry);
  set_record_telemetry(false);
  ASSERT_FALSE(error.has_value());
  EXPECT_EQ(error.error().kind(), MoEError::Kind::Io);
  EXPECT_NE(error.error().to_string().find("pread expert 3"), std::string::npos);
  for (std::size_t i : {0u, 2u, 3u}) {
    ASSERT_TRUE(std::equal(storage[i].begin(), storage[i].end(), file.begin() + with_bad[i] * kSize)) << i;
  }
  EXPECT_EQ(telemetry, before);  // a failed layer records no read time
}

}  // namespace
}  // namespace varkel
