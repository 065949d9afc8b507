// Both engines against an independent double-precision reference, the two
// attention cores against each other, and interrupt, MAX_SEQ and telemetry behaviour.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cache/cache.h"
#include "engine/decode_profile.h"
#include "engine/qwen35_moe/expert_io.h"
#include "engine/qwen35_moe/expert_prediction.h"
#include "engine/qwen35_moe/forward_core.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "engine/telemetry.h"
#include "model/expert/expert_file.h"
#include "model/model.h"
#include "model/scratch_dir.h"
#include "parallel/parallel_for.h"
#include "support/test_model_writer.h"

namespace varkel::test {
namespace {

constexpr std::size_t kHidden = 2048;
using Vec = std::vector<double>;

template <class T>
T load_le(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}
double bf16(const uint8_t* p, std::size_t i) { return std::bit_cast<float>(uint32_t{load_le<uint16_t>(p + 2 * i)} << 16); }
double f32(const uint8_t* p, std::size_t i) { return load_le<float>(p + 4 * i); }
double silu(double u) { return u / (1.0 + std::exp(-u)); }
double sigmoid(double u) { return 1.0 / (1.0 + std::exp(-u)); }

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("reference: cannot open " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// x_i / sqrt(mean(x^2) + eps) x w_i, with w = 1 when there is no weight.
Vec rms_norm(std::span<const double> x, const Vec* w) {
  double s = 0;
  for (double v : x) s += v * v;
  const double inv = 1.0 / std::sqrt(s / static_cast<double>(x.size()) + 1e-6);
  Vec out(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = x[i] * inv * (w ? (*w)[i] : 1.0);
  return out;
}

std::string layer_key(std::size_t layer, std::string_view rest) {
  return "language_model.model.layers." + std::to_string(layer) + std::string(rest);
}

// Row r of a 4-bit affine matrix (packed words, bf16 scale and bias per 64 columns).
void affine4_row(const uint8_t* W, const uint8_t* S, const uint8_t* B, std::size_t cols, std::size_t r, Vec& row) {
  row.resize(cols);
  for (std::size_t c = 0; c < cols; ++c) {
    const std::size_t g = r * (cols / 64) + c / 64;
    row[c] = ((load_le<uint32_t>(W + 4 * (r * (cols / 8) + c / 8)) >> (4 * (c % 8))) & 15u) * bf16(S, g) + bf16(B, g);
  }
}

// y = W x with row r of W given by decode(r, row buffer).
template <class Decode>
Vec rows_times(std::size_t rows, std::size_t cols, std::span<const double> x, Decode decode) {
  Vec y(rows);
  parallel::for_each_range(rows, parallel::balanced_pieces(rows), [&](std::size_t begin, std::size_t end) {
    Vec row(cols);
    for (std::size_t r = begin; r < end; ++r) {
      decode(r, row);
      y[r] = std::inner_product(row.begin(), row.end(), x.begin(), 0.0);
    }
  });
  return y;
}

}  // namespace

class ReferenceWeights {
 public:
  explicit ReferenceWeights(const std::filesystem::path& dir) : dir_(dir), bin_(read_file(dir / "model_weights.bin")) {
    std::ifstream manifest(dir / "model_weights.json");
    const nlohmann::json root = nlohmann::json::parse(manifest);
    for (const auto& [name, v] : root.at("tensors").items()) {
      entries_[name] = {v.value("dtype", std::string()), v.at("offset").get<uint64_t>(), v.at("size").get<uint64_t>()};
      if (entries_[name].offset + entries_[name].size > bin_.size())
        throw std::runtime_error("reference: tensor outside data file: " + name);
    }
  }
  bool has(const std::string& name) const { return entries_.count(name) != 0; }
  Vec vector(const std::string& name) const {
    const Entry& e = entry(name);
    Vec out;
    for (std::size_t i = 0; i < e.size / (e.dtype == "f32" ? 4 : 2); ++i)
      out.push_back(e.dtype == "f32" ? f32(data(e), i) : bf16(data(e), i));
    return out;
  }
  std::optional<Vec> matvec(const std::string& b, std::span<const double> x, std::size_t rows, std::size_t cols) const {
    if (!has(b + ".weight")) return std::nullopt;
    const Entry& w = entry(b + ".weight");
    const uint8_t* W = data(w);
    if (w.dtype == "u32") {
      const uint8_t *S = data(entry(b + ".scales")), *B = data(entry(b + ".biases"));
      return rows_times(rows, cols, x, [&](std::size_t r, Vec& row) { affine4_row(W, S, B, cols, r, row); });
    }
    if (w.dtype == "bf16")
      return rows_times(rows, cols, x, [&](std::size_t r, Vec& row) {
        for (std::size_t c = 0; c < cols; ++c) row[c] = bf16(W, r * cols + c);
      });
    if (w.dtype == "u8") {
      const uint8_t* S = data(entry(b + ".scales"));
      return rows_times(rows, cols, x, [&](std::size_t r, Vec& row) {
        for (std::size_t c = 0; c < cols; ++c) row[c] = static_cast<int8_t>(W[r * cols + c]) * f32(S, r);
      });
    }
    throw std::runtime_error("reference: unsupported dtype " + w.dtype + " of " + b);
  }
  Vec embedding(int64_t id) const {
    const std::string b = "language_model.model.embed_tokens";
    Vec out;
    affine4_row(data(entry(b + ".weight")), data(entry(b + ".scales")), data(entry(b + ".biases")), kHidden,
                static_cast<std::size_t>(id), out);
    return out;
  }
  // Projection 0/1 (gate/up) maps 2048 -> 512, 2 (down) maps 512 -> 2048; each
  // is words, scales, biases back to back in the layer's packed expert file.
  Vec expert_matvec(std::size_t layer, std::size_t expert, std::size_t projection, std::span<const double> x) const {
    constexpr std::size_t kRecord = 3 * (512 * kHidden / 2 + 2 * 512 * kHidden / 32);
    auto it = expert_files_.find(layer);
    if (it == expert_files_.end()) {
      char name[32];
      std::snprintf(name, sizeof name, "layer_%02zu.bin", layer);
      it = expert_files_.emplace(layer, read_file(dir_ / "packed_experts" / name)).first;
    }
    if ((expert + 1) * kRecord > it->second.size()) throw std::runtime_error("reference: short expert file");
    const std::size_t rows = projection == 2 ? kHidden : 512, cols = projection == 2 ? 512 : kHidden;
    const uint8_t* W = it->second.data() + expert * kRecord + projection * (kRecord / 3);
    const uint8_t *S = W + rows * cols / 2, *B = S + rows * cols / 32;
    return rows_times(rows, cols, x, [&](std::size_t r, Vec& row) { affine4_row(W, S, B, cols, r, row); });
  }

 private:
  struct Entry {
    std::string dtype;
    uint64_t offset = 0, size = 0;
  };
  const Entry& entry(const std::string& name) const {
    auto it = entries_.find(name);
    if (it == entries_.end()) throw std::runtime_error("reference: missing tensor " + name);
    return it->second;
  }
  const uint8_t* data(const Entry& e) const { return bin_.data() + e.offset; }

  std::filesystem::path dir_;
  std::vector<uint8_t> bin_;
  std::map<std::string, Entry> entries_;
  mutable std::map<std::size_t, std::vector<uint8_t>> expert_files_;
};

// Sequence state for the 3 linear layers and the one full-attention layer.
struct ReferenceState {
  std::vector<Vec> conv = std::vector(3, Vec(3 * 8192));
  std::vector<Vec> ssm = std::vector(3, Vec(32 * 128 * 128));
  Vec k_cache, v_cache;
  std::size_t pos = 0;
};

namespace {

// Softmax in place; returns nothing.
void softmax(std::span<double> s) {
  const double m = *std::max_element(s.begin(), s.end());
  double sum = 0;
  for (double& v : s) sum += (v = std::exp(v - m));
  for (double& v : s) v /= sum;
}

// Gated full attention with per-head norm and rotate-half over 64 dimensions.
Vec full_attention(const ReferenceWeights& w, ReferenceState& st, std::size_t layer, std::span<const double> a) {
  const std::string S = layer_key(layer, ".self_attn");
  const std::size_t pos = st.pos;
  const Vec qp = *w.matvec(S + ".q_proj", a, 8192, kHidden);
  Vec k = *w.matvec(S + ".k_proj", a, 512, kHidden);
  const Vec v = *w.matvec(S + ".v_proj", a, 512, kHidden);
  const Vec qn = w.vector(S + ".q_norm.weight"), kn = w.vector(S + ".k_norm.weight");
  auto norm_rope = [&](std::span<const double> head, const Vec& weight, double* out) {
    const Vec n = rms_norm(head, &weight);
    std::copy(n.begin(), n.end(), out);
    for (std::size_t i = 0; i < 32; ++i) {
      const double th = static_cast<double>(pos) * std::pow(1e7, -2.0 * static_cast<double>(i) / 64.0);
      out[i] = n[i] * std::cos(th) - n[i + 32] * std::sin(th);
      out[i + 32] = n[i] * std::sin(th) + n[i + 32] * std::cos(th);
    }
  };
  Vec q(16 * 256), gate(16 * 256);
  for (std::size_t h = 0; h < 16; ++h) {
    norm_rope(std::span(qp).subspan(512 * h, 256), qn, &q[256 * h]);
    std::copy(qp.begin() + 512 * h + 256, qp.begin() + 512 * h + 512, gate.begin() + 256 * h);
  }
  for (std::size_t j = 0; j < 2; ++j) norm_rope(Vec(k.begin() + 256 * j, k.begin() + 256 * (j + 1)), kn, &k[256 * j]);
  st.k_cache.insert(st.k_cache.end(), k.begin(), k.end());
  st.v_cache.insert(st.v_cache.end(), v.begin(), v.end());
  Vec attn(16 * 256, 0.0), scores(pos + 1);
  for (std::size_t h = 0; h < 16; ++h) {
    const std::size_t off = 256 * (h / 8);
    for (std::size_t p = 0; p <= pos; ++p)
      scores[p] = std::inner_product(&q[256 * h], &q[256 * h] + 256, &st.k_cache[p * 512 + off], 0.0) / 16.0;
    softmax(scores);
    for (std::size_t p = 0; p <= pos; ++p)
      for (std::size_t d = 0; d < 256; ++d) attn[256 * h + d] += scores[p] * st.v_cache[p * 512 + off + d];
  }
  for (std::size_t i = 0; i < attn.size(); ++i) attn[i] *= sigmoid(gate[i]);
  return *w.matvec(S + ".o_proj", attn, kHidden, 4096);
}

// Gated delta-net linear attention after a depthwise causal convolution of width 4.
Vec linear_attention(const ReferenceWeights& w, ReferenceState& st, std::size_t layer, std::span<const double> a) {
  const std::string A = layer_key(layer, ".linear_attn");
  const std::size_t li = layer - (layer + 1) / 4;
  const Vec qkv = *w.matvec(A + ".in_proj_qkv", a, 8192, kHidden), z = *w.matvec(A + ".in_proj_z", a, 4096, kHidden);
  const Vec b = *w.matvec(A + ".in_proj_b", a, 32, kHidden), al = *w.matvec(A + ".in_proj_a", a, 32, kHidden);
  const Vec cw = w.vector(A + ".conv1d.weight");
  Vec& conv = st.conv[li];
  Vec x(8192);
  for (std::size_t c = 0; c < 8192; ++c) {
    x[c] = silu(conv[c] * cw[4 * c] + conv[8192 + c] * cw[4 * c + 1] + conv[16384 + c] * cw[4 * c + 2] +
                qkv[c] * cw[4 * c + 3]);
    conv[c] = conv[8192 + c];
    conv[8192 + c] = conv[16384 + c];
    conv[16384 + c] = qkv[c];
  }
  const double inv_scale = 1.0 / std::sqrt(128.0);
  Vec q(2048), k(2048);
  for (std::size_t h = 0; h < 16; ++h) {
    const Vec qn = rms_norm(std::span(x).subspan(128 * h, 128), nullptr);
    const Vec kn = rms_norm(std::span(x).subspan(2048 + 128 * h, 128), nullptr);
    for (std::size_t t = 0; t < 128; ++t) {
      q[128 * h + t] = qn[t] * inv_scale * inv_scale;
      k[128 * h + t] = kn[t] * inv_scale;
    }
  }
  const Vec a_log = w.vector(A + ".A_log"), dt_bias = w.vector(A + ".dt_bias"), norm_w = w.vector(A + ".norm.weight");
  Vec gated(4096), out(128);
  for (std::size_t h = 0; h < 32; ++h) {
    const double g = std::exp(-std::exp(a_log[h]) * std::log1p(std::exp(al[h] + dt_bias[h])));
    const double beta = sigmoid(b[h]);
    const double *kh = &k[128 * (h / 2)], *qh = &q[128 * (h / 2)];
    for (std::size_t vi = 0; vi < 128; ++vi) {
      double* row = &st.ssm[li][h * 16384 + vi * 128];
      double kv = 0, o = 0;
      for (std::size_t ki = 0; ki < 128; ++ki) kv += (row[ki] *= g) * kh[ki];
      const double delta = (x[4096 + 128 * h + vi] - kv) * beta;
      for (std::size_t ki = 0; ki < 128; ++ki) o += (row[ki] += kh[ki] * delta) * qh[ki];
      out[vi] = o;
    }
    const Vec n = rms_norm(out, nullptr);
    for (std::size_t t = 0; t < 128; ++t) gated[128 * h + t] = n[t] * silu(z[128 * h + t]) * norm_w[t];
  }
  return *w.matvec(A + ".out_proj", gated, kHidden, 4096);
}

}  // namespace

// Logits of one token through 4 layers with 4 experts of which k are used.
Vec reference_token(const ReferenceWeights& w, ReferenceState& st, Vec h, std::size_t k, std::size_t vocab) {
  for (std::size_t layer = 0; layer < 4; ++layer) {
    const std::string in_norm = layer_key(layer, ".input_layernorm.weight");
    Vec a = h;
    if (w.has(in_norm)) {
      const Vec weight = w.vector(in_norm);
      a = rms_norm(h, &weight);
    }
    const Vec attn = layer % 4 == 3 ? full_attention(w, st, layer, a) : linear_attention(w, st, layer, a);
    for (std::size_t i = 0; i < kHidden; ++i) h[i] += attn[i];
    const Vec post_w = w.vector(layer_key(layer, ".post_attention_layernorm.weight"));
    const Vec x = rms_norm(h, &post_w);

    // Router: softmax over all experts, the k largest, renormalised.
    const std::string M = layer_key(layer, ".mlp");
    Vec p = *w.matvec(M + ".gate", x, 4, kHidden);
    softmax(p);
    std::vector<std::size_t> order(p.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return p[i] > p[j]; });
    double picked = 0;
    for (std::size_t i = 0; i < k; ++i) picked += p[order[i]];
    Vec out = h, act(512);
    for (std::size_t i = 0; i < k; ++i) {
      const std::size_t e = order[i];
      const Vec g = w.expert_matvec(layer, e, 0, x), u = w.expert_matvec(layer, e, 1, x);
      for (std::size_t j = 0; j < 512; ++j) act[j] = silu(g[j]) * u[j];
      const Vec y = w.expert_matvec(layer, e, 2, act);
      for (std::size_t j = 0; j < kHidden; ++j) out[j] += p[e] / picked * y[j];
    }
    const Vec sg = *w.matvec(M + ".shared_expert.gate_proj", x, 512, kHidden);
    const Vec su = *w.matvec(M + ".shared_expert.up_proj", x, 512, kHidden);
    for (std::size_t j = 0; j < 512; ++j) act[j] = silu(sg[j]) * su[j];
    // A layer without the shared down projection has no shared-expert term.
    if (const auto shared = w.matvec(M + ".shared_expert.down_proj", act, kHidden, 512)) {
      const double score = (*w.matvec(M + ".shared_expert_gate", x, 1, kHidden))[0];
      for (std::size_t j = 0; j < kHidden; ++j) out[j] += sigmoid(score) * (*shared)[j];
    }
    h = std::move(out);
  }
  st.pos += 1;
  const Vec final_w = w.vector("language_model.model.norm.weight");
  return *w.matvec("language_model.lm_head", rms_norm(h, &final_w), vocab, kHidden);
}

}  // namespace varkel::test

namespace varkel {
namespace {

using qwen35::AttentionMode;
using testing_support::ScratchDir;

// StrippedModel with a 512-row vocabulary, so the lm head stays small.
struct SmallVocabModel : StrippedModel {
  static constexpr std::size_t kVocabSize = 512;
};
constexpr std::size_t kVocab = SmallVocabModel::kVocabSize;
constexpr std::size_t kHidden = 2048;

template <AttentionMode M>
using SmallEngine = qwen35::FusedEngine<SmallVocabModel, M>;

// One model directory per option set, written once for the whole binary;
// the omissions drop layer 1's shared down projection and layer 2's input norm.
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
    if (with_omissions) options.omit = [](const std::string& name) {
      return name == "language_model.model.layers.1.mlp.shared_expert.down_proj.weight" ||
             name == "language_model.model.layers.2.input_layernorm.weight";
    };
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

std::ptrdiff_t argmax(std::span<const float> row) { return std::max_element(row.begin(), row.end()) - row.begin(); }

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

// f32 rounding against exact decoding gives 2e-6 to 6e-6; a wrong formula,
// binding or ordering moves the logits by whole percents. Tokens 0-1 go in one
// call, then the cache travels out and into a second engine for tokens 2-3.
std::map<std::pair<const TestModel*, std::size_t>, std::vector<std::vector<double>>> memo;

template <AttentionMode M>
void expect_matches_reference(const TestModel& m, std::size_t k) {
  SCOPED_TRACE(M == AttentionMode::FusedExp1 ? "FusedExp1" : "FusedExp2");
  const std::vector<int64_t> ids{5, 300, 42, 511};
  auto engine = make_engine<M>(m, k), other = make_engine<M>(m, k);
  auto [it, inserted] = memo.try_emplace({&m, engine->state().k});
  test::ReferenceState state;
  for (int64_t id : ids) {
    if (inserted)
      it->second.push_back(
          test::reference_token(*m.reference, state, m.reference->embedding(id), engine->state().k, kVocab));
  }
  Cache cache = fresh_cache(m);
  ASSERT_TRUE(engine->upload_cache(cache).has_value());
  auto got = engine->forward_hidden(embed(*engine, {5, 300}), nullptr);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  ASSERT_EQ(got->size(), 2 * kVocab);
  // The last layer's expert stage has no next layer to normalise for: what
  // buf_normed holds is still the last layer's input norm, which the
  // full-attention stage computed alike into buf_attn_normed.
  const qwen35::MetalContext& ctx = engine->state().ctx;
  EXPECT_EQ(std::memcmp(ctx.buf_normed->contents(), ctx.buf_attn_normed->contents(), kHidden * sizeof(float)), 0);
  ASSERT_TRUE(engine->download_cache(cache).has_value());
  EXPECT_EQ(cache.pos, 2u);
  ASSERT_TRUE(other->upload_cache(cache).has_value());
  auto got2 = other->forward_hidden(embed(*other, {42, 511}), nullptr);
  ASSERT_TRUE(got2.has_value()) << got2.error().to_string();
  got->insert(got->end(), got2->begin(), got2->end());
  for (std::size_t t = 0; t < 4; ++t) {
    const std::span<const float> row(got->data() + t * kVocab, kVocab);
    const std::vector<double>& ref = it->second[t];
    EXPECT_EQ(argmax(row), std::max_element(ref.begin(), ref.end()) - ref.begin()) << "token " << t;
    EXPECT_LT(relative_error(row, ref), 3e-5) << "token " << t;
  }
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
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[fused] WARNING: shared expert down_proj tensor not found: "
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
      for (std::size_t i = 0; i < pos * 512; ++i) full->k_cache[i] = uni(rng), full->v_cache[i] = uni(rng);
      full->len = pos;
    } else {
      for (float& v : std::get<LinearState>(layer).conv_state) v = uni(rng);
      for (float& v : std::get<LinearState>(layer).ssm_state) v = 0.05f * uni(rng);
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
      const std::vector<double> rb(b->begin() + t * kVocab, b->begin() + (t + 1) * kVocab);
      EXPECT_EQ(argmax(ra), std::max_element(rb.begin(), rb.end()) - rb.begin()) << "position " << start + t;
      // Same data, two summation orders: f32 rounding only (observed <= 3e-7).
      EXPECT_LT(relative_error(ra, rb), 5e-6) << "position " << start + t;
    }
    Cache out_a = fresh_cache(m), out_b = fresh_cache(m);
    ASSERT_TRUE(exp1->download_cache(out_a).has_value());
    ASSERT_TRUE(exp2->download_cache(out_b).has_value());
    EXPECT_EQ(out_a.pos, start + tokens);
    // The appended key rows do not depend on the attention core.
    const auto& ka = std::get<FullState>(out_a.layers[3]).k_cache;
    const auto& kb = std::get<FullState>(out_b.layers[3]).k_cache;
    EXPECT_TRUE(std::equal(ka.begin() + start * 512, ka.begin() + (start + tokens) * 512, kb.begin() + start * 512));
  }
}

// Interrupts stop before the next layer; position MAX_SEQ is refused at the
// full-attention layer after layers 0 to 2 ran; commit counts pin what was submitted.
TEST(ForwardTest, InterruptsShortInputAndMaxSeq) {
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
  // Four polls for the first token, then layers 0 and 1 of the second: two
  // submissions per layer and the lm head for the finished token, then layer 0's two.
  polls = 0;
  auto second = engine->forward_hidden(x, [&] { return ++polls == 6; });
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(polls, 6);
  EXPECT_EQ(engine->state().ctx.pos, 1u);
  EXPECT_EQ(queue.commit_count(), 11u);
  // Fewer than 2048 floats: nothing, not even a poll; a partial row is ignored.
  polls = 0;
  auto none = engine->forward_hidden(std::span(x).first(2047), [&] { return ++polls > 100; });
  ASSERT_TRUE(none.has_value() && none->empty());
  EXPECT_EQ(polls, 0);
  auto one = engine->forward_hidden(std::span(x).first(2048 + 100), [&] { return ++polls > 100; });
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(one->size(), kVocab);
  EXPECT_EQ(polls, 4);
  EXPECT_EQ(queue.commit_count(), 11u + 9u);

  ASSERT_TRUE(engine->upload_cache(random_cache(m, 4095, 3)).has_value());
  ASSERT_TRUE(engine->forward_hidden(std::span(x).first(2048), nullptr).has_value());
  Cache at_max = fresh_cache(m), after = fresh_cache(m);
  ASSERT_TRUE(engine->download_cache(at_max).has_value());
  EXPECT_EQ(at_max.pos, 4096u);
  polls = 0;
  const std::size_t commits_before = queue.commit_count();
  auto refused = engine->forward_hidden(std::span(x).first(2048), [&] { return ++polls < 0; });
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().to_string(), "Config error: sequence position 4096 exceeds MAX_SEQ (4096)");
  EXPECT_EQ(polls, 4);
  EXPECT_EQ(queue.commit_count() - commits_before, 6u);
  ASSERT_TRUE(engine->download_cache(after).has_value());
  EXPECT_EQ(after.pos, 4096u);
  for (std::size_t l = 0; l < 3; ++l)
    EXPECT_NE(std::get<LinearState>(after.layers[l]).ssm_state, std::get<LinearState>(at_max.layers[l]).ssm_state) << l;
  EXPECT_EQ(std::get<FullState>(after.layers[3]).k_cache, std::get<FullState>(at_max.layers[3]).k_cache);
}

// A copy of the model whose expert files the caller may change: everything
// else is linked.
void copy_with_own_experts(const TestModel& m, const ScratchDir& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(m.dir.path())) {
    if (entry.path().filename() != "packed_experts") std::filesystem::create_symlink(entry.path(), dir.path() / entry.path().filename());
  }
  std::filesystem::copy(m.dir.path() / "packed_experts", dir.path() / "packed_experts");
}

// A failed expert read ends the pass with the read's error once the layer's
// reads have ended; layers before it and the failing layer's pre-expert
// stage have run, nothing after it, and pos stays.
TEST(ForwardTest, AFailedExpertReadEndsThePassAtItsLayer) {
  const TestModel& m = shared_model(false);
  ScratchDir dir;
  copy_with_own_experts(m, dir);
  // Layer 2 keeps one and a half records: every read past the first is short.
  const auto cut = dir.path() / "packed_experts" / "layer_02.bin";
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) / 4 * 3 / 2);
  auto model = Model::load_shared(dir.path().string());
  ASSERT_TRUE(model.has_value());
  auto engine = SmallEngine<AttentionMode::FusedExp2>::create(*model, 4);
  ASSERT_TRUE(engine.has_value());
  const Cache before = random_cache(m, 5, 11);
  ASSERT_TRUE((*engine)->upload_cache(before).has_value());
  int polls = 0;
  auto failed = (*engine)->forward_hidden(embed(**engine, {7}), [&] { return ++polls < 0; });
  ASSERT_FALSE(failed.has_value());
  EXPECT_TRUE(failed.error().to_string().starts_with("I/O error: pread expert ")) << failed.error().to_string();
  EXPECT_TRUE(failed.error().to_string().ends_with(" expected 1769472")) << failed.error().to_string();
  EXPECT_EQ(polls, 3);
  Cache after = fresh_cache(m);
  ASSERT_TRUE((*engine)->download_cache(after).has_value());
  EXPECT_EQ(after.pos, 5u);
  for (std::size_t l = 0; l < 3; ++l)
    EXPECT_NE(std::get<LinearState>(after.layers[l]).ssm_state, std::get<LinearState>(before.layers[l]).ssm_state) << l;
  EXPECT_EQ(std::get<FullState>(after.layers[3]).k_cache, std::get<FullState>(before.layers[3]).k_cache);
}

// Records used where they lie in the page cache, records read into the
// staging slots, and both within one layer give the same bits.
TEST(ForwardTest, RecordsUsedInPlaceOrReadGiveTheSameBits) {
  const TestModel& m = shared_model(false);
  auto run = [&](const std::shared_ptr<const Model>& model) {
    auto engine = SmallEngine<AttentionMode::FusedExp2>::create(model, 4);
    EXPECT_TRUE(engine.has_value());
    EXPECT_TRUE((*engine)->upload_cache(fresh_cache(m)).has_value());
    auto logits = (*engine)->forward_hidden(embed(**engine, {5, 300, 42}), nullptr);
    EXPECT_TRUE(logits.has_value()) << logits.error().to_string();
    return std::move(*logits);
  };
  for (const ExpertFile& file : m.model->experts()) ASSERT_FALSE(file.cached_record(0).empty());
  const std::vector<float> in_place = run(m.model);

  ::setenv("VARKEL_MAP_EXPERTS", "0", 1);
  auto unmapped = Model::load_shared(m.dir.path().string());
  ::unsetenv("VARKEL_MAP_EXPERTS");
  ASSERT_TRUE(unmapped.has_value());
  for (const ExpertFile& file : (*unmapped)->experts()) ASSERT_TRUE(file.cached_record(0).empty());
  ::setenv("VARKEL_PREDICT_EXPERTS", "0", 1);
  const std::vector<float> read = run(*unmapped);
  ::unsetenv("VARKEL_PREDICT_EXPERTS");

  // Read records make the engine guess every next layer's experts while
  // they are read: with as many experts per token as the layer has, every
  // guess is right, and the two surest of each layer start loading. The
  // guess has buffers of its own, while the layer being read still uses
  // the stage's: no bit moves.
  set_decode_profiling(true);
  decode_profile() = {};
  const std::vector<float> guessed = run(*unmapped);
  const DecodeProfile profile = decode_profile();
  set_decode_profiling(false);
  EXPECT_EQ(profile.predicted_records, 3u * (SmallVocabModel::kNumLayers - 1) * 4);
  EXPECT_EQ(profile.predicted_hits, profile.predicted_records);
  EXPECT_EQ(profile.warmed_records, 3u * (SmallVocabModel::kNumLayers - 1) * 2);
  EXPECT_EQ(profile.warmed_used, profile.warmed_records);
  EXPECT_EQ(std::memcmp(guessed.data(), read.data(), read.size() * sizeof(float)), 0);

  // Files holding two of their four records when mapped and all four when
  // used: each layer takes two records in place and reads the other two.
  ScratchDir dir;
  copy_with_own_experts(m, dir);
  const uint64_t record = m.model->experts()[0].expert_size();
  std::vector<std::filesystem::path> layers;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "packed_experts")) {
    layers.push_back(entry.path());
    std::filesystem::resize_file(entry.path(), 2 * record);
  }
  auto mixed_model = Model::load_shared(dir.path().string());
  ASSERT_TRUE(mixed_model.has_value());
  for (const auto& path : layers) {
    std::ifstream source(m.dir.path() / "packed_experts" / path.filename(), std::ios::binary);
    source.seekg(static_cast<std::streamoff>(2 * record));
    std::ofstream(path, std::ios::binary | std::ios::app) << source.rdbuf();
  }
  for (const ExpertFile& file : (*mixed_model)->experts()) {
    ASSERT_FALSE(file.cached_record(1).empty());
    ASSERT_TRUE(file.cached_record(2).empty());
  }
  const std::vector<float> mixed = run(*mixed_model);

  ASSERT_EQ(in_place.size(), 3 * kVocab);
  EXPECT_EQ(std::memcmp(in_place.data(), read.data(), in_place.size() * sizeof(float)), 0);
  ASSERT_EQ(mixed.size(), in_place.size());
  EXPECT_EQ(std::memcmp(in_place.data(), mixed.data(), in_place.size() * sizeof(float)), 0);
}

// A guess that fails is dropped: the pass goes on to the bits it gives with
// guessing off, and the guess adds at most one line to stderr, however many
// layers and tokens follow.
TEST(ForwardTest, AFailedGuessChangesNoResultAndSaysSoAtMostOnce) {
  const TestModel& m = shared_model(false);
  // Layer 1's router stored as 4-bit words without their scales: the pass
  // warns about it every token, and so would a guess at it.
  ScratchDir odd_router;
  for (const auto& entry : std::filesystem::directory_iterator(m.dir.path())) {
    if (entry.path().filename() != "model_weights.json")
      std::filesystem::create_symlink(entry.path(), odd_router.path() / entry.path().filename());
  }
  {
    nlohmann::json manifest = nlohmann::json::parse(std::ifstream(m.dir.path() / "model_weights.json"));
    nlohmann::json& router = manifest["tensors"]["language_model.model.layers.1.mlp.gate.weight"];
    router["dtype"] = "u32";
    router["shape"] = {4, kHidden / 8};
    router["size"] = 4 * kHidden / 2;
    std::ofstream(odd_router.path() / "model_weights.json") << manifest.dump();
  }
  struct Case {
    const char* name;
    std::filesystem::path dir;
    bool buffers_fail;
    const char* guess_line;  // the line the guess adds
  };
  const Case cases[] = {
      {"buffers fail", m.dir.path(), true,
       "varkel: expert guessing is off for this engine: Metal error: expert guess buffer: cannot allocate a buffer of "
       "8192 bytes\n"},
      {"odd router", odd_router.path(), false,
       "[encode_matvec_into] WARNING: tensor not found: language_model.model.layers.1.mlp.gate.scales\n"},
  };
  for (const Case& c : cases) {
    ::setenv("VARKEL_MAP_EXPERTS", "0", 1);
    auto unmapped = Model::load_shared(c.dir.string());
    ::unsetenv("VARKEL_MAP_EXPERTS");
    ASSERT_TRUE(unmapped.has_value()) << c.name;
    // Two calls of several tokens, every record read: every layer but the
    // last would guess its successor's experts each token.
    auto run = [&](bool guessing, std::string& err) {
      if (!guessing) ::setenv("VARKEL_PREDICT_EXPERTS", "0", 1);
      auto engine = SmallEngine<AttentionMode::FusedExp2>::create(*unmapped, 4);
      ::unsetenv("VARKEL_PREDICT_EXPERTS");
      std::vector<float> logits;
      EXPECT_TRUE(engine.has_value() && (*engine)->upload_cache(fresh_cache(m)).has_value()) << c.name;
      if (!engine) return logits;
      qwen35::ExpertPrediction::fail_buffers_for_testing(c.buffers_fail);
      testing::internal::CaptureStderr();
      for (const std::vector<int64_t>& ids : {std::vector<int64_t>{5, 300, 42}, {7, 8}}) {
        auto got = (*engine)->forward_hidden(embed(**engine, ids), nullptr);
        EXPECT_TRUE(got.has_value()) << c.name << ": " << got.error().to_string();
        if (got) logits.insert(logits.end(), got->begin(), got->end());
      }
      err = testing::internal::GetCapturedStderr();
      qwen35::ExpertPrediction::fail_buffers_for_testing(false);
      return logits;
    };
    std::string err_off, err_on;
    const std::vector<float> off = run(false, err_off);
    const std::vector<float> on = run(true, err_on);
    EXPECT_EQ(off.size(), 5 * kVocab) << c.name;
    EXPECT_TRUE(on.size() == off.size() && std::memcmp(on.data(), off.data(), off.size() * sizeof(float)) == 0)
        << c.name;
    // The pass's own lines stay; the guess adds its one line first.
    EXPECT_EQ(err_on, c.guess_line + err_off) << c.name;
  }
}

// The hook for the last read runs once, whatever the records are cut into,
// and only when something is read, with no read left waiting to start;
// every record still lands whole.
TEST(ForwardTest, ExpertReadsCallTheLastStartedHookOnceWhenTheyRead) {
  const TestModel& m = shared_model(false);
  const ExpertFile& file = m.model->experts()[1];
  const std::size_t size = file.expert_size();
  for (const std::vector<uint32_t>& experts : {std::vector<uint32_t>{}, {2}, {3, 0, 1}}) {
    std::vector<std::vector<uint8_t>> buffers(experts.size(), std::vector<uint8_t>(size));
    std::vector<std::span<uint8_t>> slots(buffers.begin(), buffers.end());
    std::atomic<int> calls{0};
    std::atomic<bool> reads_waiting{false};
    TelemetryMap telemetry;
    {
      qwen35::ExpertReads reads(file, experts, slots, {}, 1, std::chrono::steady_clock::now(), [&] {
        ++calls;
        // A read still waiting would run here, on this thread.
        if (parallel::run_waiting_task()) reads_waiting = true;
      });
      ASSERT_TRUE(reads.finish(telemetry).has_value());
    }
    EXPECT_EQ(calls.load(), experts.empty() ? 0 : 1) << experts.size();
    EXPECT_FALSE(reads_waiting.load()) << experts.size();
    for (std::size_t i = 0; i < experts.size(); ++i) {
      std::vector<uint8_t> expected(size);
      ASSERT_TRUE(file.read_expert(experts[i], expected).has_value());
      EXPECT_EQ(buffers[i], expected) << experts[i];
    }
  }
}

// A child forked once the engine has guessed ahead decodes with it, starts
// threads and engines of its own and drops them in any order: nothing of the
// parent's loading thread is joined, detached or waited on, and a handle
// naming it may by now name one of the child's threads.
TEST(ForwardTest, AForkedChildDecodesAndDropsAnEngineThatGuessedAhead) {
  const TestModel& m = shared_model(false);
  ::setenv("VARKEL_MAP_EXPERTS", "0", 1);
  auto unmapped = Model::load_shared(m.dir.path().string());
  ::unsetenv("VARKEL_MAP_EXPERTS");
  ASSERT_TRUE(unmapped.has_value());
  using Engine = SmallEngine<AttentionMode::FusedExp2>;
  // Every record is read, so every layer but the last guesses its successor's.
  auto guessed_ahead = [&]() -> std::unique_ptr<Engine> {
    auto engine = Engine::create(*unmapped, 4);
    if (!engine || !(*engine)->upload_cache(fresh_cache(m)) ||
        !(*engine)->forward_hidden(embed(**engine, {5, 300}), nullptr)) {
      return nullptr;
    }
    return std::move(*engine);
  };
  auto next_token = [](Engine& engine) {
    auto logits = engine.forward_hidden(embed(engine, {42}), nullptr);
    return logits ? std::move(*logits) : std::vector<float>();
  };
  std::vector<float> expected;
  {
    auto reference = guessed_ahead();
    ASSERT_NE(reference, nullptr);
    expected = next_token(*reference);
    ASSERT_EQ(expected.size(), kVocab);
  }
  using Child = std::function<bool(std::unique_ptr<Engine>& inherited)>;
  auto own_engine = [&](bool drop_inherited_first) -> Child {
    return [&, drop_inherited_first](std::unique_ptr<Engine>& inherited) {
      std::unique_ptr<Engine> own = guessed_ahead();
      if (own == nullptr || next_token(*own) != expected || next_token(*inherited) != expected) return false;
      if (drop_inherited_first) inherited.reset();
      own.reset();
      inherited.reset();
      return true;
    };
  };
  const std::pair<const char*, Child> children[] = {
      {"decodes, drops", [&](std::unique_ptr<Engine>& inherited) {
         const bool decoded = next_token(*inherited) == expected;
         inherited.reset();
         return decoded;
       }},
      {"joins a thread, drops", [](std::unique_ptr<Engine>& inherited) {
         std::thread([] {}).join();
         inherited.reset();
         return true;
       }},
      {"own engine, drops the inherited first", own_engine(true)},
      {"own engine, drops its own first", own_engine(false)},
  };
  for (const auto& [name, child_does] : children) {
    std::unique_ptr<Engine> engine = guessed_ahead();
    ASSERT_NE(engine, nullptr) << name;
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      ::alarm(30);  // a hang ends the child with SIGALRM
      ::_exit(child_does(engine) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name << ": wait status " << status;
  }
}

// Expert read time is added per layer, total time once per call, and only while switched on.
TEST(ForwardTest, TelemetryGrowsPerLayerAndPerCallOnlyWhileSwitchedOn) {
  const TestModel& m = shared_model(false);
  auto engine = make_engine<AttentionMode::FusedExp2>(m);
  const std::vector<float> x = embed(*engine, {1, 2});
  auto scalar = [&](const std::string& key) {
    const TelemetryMap map = engine->telemetry();
    auto it = map.find(key);
    return it == map.end() ? -1.0 : std::get<double>(it->second.value);
  };
  set_record_telemetry(false);
  ASSERT_TRUE(engine->forward_hidden(x, nullptr).has_value());
  EXPECT_TRUE(engine->telemetry().empty());
  set_record_telemetry(true);
  std::vector<double> io;
  ASSERT_TRUE(engine->forward_hidden(x, [&] {
    const double now = scalar("engine.expert_io_ms");
    EXPECT_EQ(scalar("engine.total_ms"), -1.0);
    if (io.empty()) EXPECT_EQ(now, -1.0);
    else EXPECT_GT(now, io.back());
    io.push_back(now);
    return false;
  }).has_value());
  set_record_telemetry(false);
  EXPECT_EQ(io.size(), 8u);
  EXPECT_GT(scalar("engine.expert_io_ms"), io.back());
  EXPECT_GE(scalar("engine.total_ms"), scalar("engine.expert_io_ms"));
  const TelemetryMap after = engine->telemetry();
  ASSERT_TRUE(engine->forward_hidden(x, nullptr).has_value());
  EXPECT_EQ(engine->telemetry(), after);
}

}  // namespace
}  // namespace varkel
