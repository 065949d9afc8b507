// The forward pass of both engines against an independent double-precision
// reference (its own manifest reading and decoding, no engine code), the two
// attention cores against each other, and the interrupt, sequence-length and
// telemetry behaviour.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "cache/cache.h"
#include "engine/qwen35_moe/forward_core.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "engine/telemetry.h"
#include "model/model.h"
#include "model/scratch_dir.h"
#include "support/test_model_writer.h"

namespace varkel::test {
class ReferenceWeights {
 public:
  explicit ReferenceWeights(const std::filesystem::path& dir);

  bool has(std::string_view name) const { return entries_.count(std::string(name)) != 0; }
  std::vector<double> vector(std::string_view name) const;
  std::optional<std::vector<double>> matvec(std::string_view base, std::span<const double> x, std::size_t rows,
                                            std::size_t cols) const;
  std::vector<double> embedding(int64_t id) const;
  std::vector<double> expert_matvec(std::size_t layer, std::size_t expert, std::size_t projection,
                                    std::span<const double> x) const;

 private:
  struct Entry {
    std::string dtype;
    uint64_t offset = 0;
    uint64_t size = 0;
  };
  const Entry& entry(std::string_view name) const;
  const uint8_t* data(const Entry& e) const { return bin_.data() + e.offset; }

  std::filesystem::path dir_;
  std::map<std::string, Entry> entries_;
  std::vector<uint8_t> bin_;
  mutable std::map<std::size_t, std::vector<uint8_t>> expert_files_;
};

// Sequence state for the 3 linear layers and the one full-attention layer.
struct ReferenceState {
  std::vector<std::vector<double>> conv = std::vector(3, std::vector<double>(3 * 8192));
  std::vector<std::vector<double>> ssm = std::vector(3, std::vector<double>(32 * 128 * 128));
  std::vector<std::vector<double>> k_cache = std::vector<std::vector<double>>(1);
  std::vector<std::vector<double>> v_cache = std::vector<std::vector<double>>(1);
  std::size_t pos = 0;
};

struct ReferenceShape {
  std::size_t layers = 4;
  std::size_t experts = 4;
  std::size_t k = 4;
  std::size_t vocab = 0;
};

namespace {

constexpr std::size_t kHidden = 2048;
constexpr double kEps = 1e-6;

template <class T>
T load_le(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

double bf16(const uint8_t* p, std::size_t index) {
  const uint32_t bits = static_cast<uint32_t>(load_le<uint16_t>(p + 2 * index)) << 16;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

double f32(const uint8_t* p, std::size_t index) { return load_le<float>(p + 4 * index); }

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("reference: cannot open " + path.string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double silu(double u) { return u / (1.0 + std::exp(-u)); }
double sigmoid(double u) { return 1.0 / (1.0 + std::exp(-u)); }

// x_i / sqrt(mean(x^2) + eps) x w_i, with w = 1 when there is no weight.
std::vector<double> rms_norm(std::span<const double> x, const std::vector<double>* w) {
  double s = 0;
  for (double v : x) s += v * v;
  const double inv = 1.0 / std::sqrt(s / static_cast<double>(x.size()) + kEps);
  std::vector<double> out(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) out[i] = x[i] * inv * (w ? (*w)[i] : 1.0);
  return out;
}

std::string layer_key(std::size_t layer, std::string_view rest) {
  return "language_model.model.layers." + std::to_string(layer) + std::string(rest);
}

// Row r of a 4-bit affine matrix (packed words, bf16 scales and biases per
// 64 columns), each value code x scale + bias.
void affine4_row(const uint8_t* words, const uint8_t* scales, const uint8_t* biases, std::size_t cols, std::size_t r,
                 std::vector<double>& row) {
  row.resize(cols);
  for (std::size_t g = 0; g < cols / 64; ++g) {
    const double scale = bf16(scales, r * (cols / 64) + g);
    const double bias = bf16(biases, r * (cols / 64) + g);
    for (std::size_t c = 64 * g; c < 64 * (g + 1); ++c) {
      const uint32_t word = load_le<uint32_t>(words + 4 * (r * (cols / 8) + c / 8));
      row[c] = ((word >> (4 * (c % 8))) & 15u) * scale + bias;
    }
  }
}

// y = W x with row r of W given by decode(r, row buffer); rows in parallel.
template <class Decode>
std::vector<double> rows_times(std::size_t rows, std::size_t cols, std::span<const double> x, Decode decode) {
  std::vector<double> y(rows);
#pragma omp parallel
  {
    std::vector<double> row(cols);
#pragma omp for schedule(static)
    for (std::size_t r = 0; r < rows; ++r) {
      decode(r, row);
      double acc = 0;
      for (std::size_t c = 0; c < cols; ++c) acc += row[c] * x[c];
      y[r] = acc;
    }
  }
  return y;
}

}  // namespace

ReferenceWeights::ReferenceWeights(const std::filesystem::path& dir) : dir_(dir) {
  std::ifstream manifest(dir / "model_weights.json");
  const nlohmann::json root = nlohmann::json::parse(manifest);
  for (const auto& [name, value] : root.at("tensors").items()) {
    entries_[name] = Entry{value.value("dtype", std::string()), value.at("offset").get<uint64_t>(),
                           value.at("size").get<uint64_t>()};
  }
  bin_ = read_file(dir / "model_weights.bin");
  for (const auto& [name, e] : entries_) {
    if (e.offset + e.size > bin_.size()) throw std::runtime_error("reference: tensor outside data file: " + name);
  }
}

const ReferenceWeights::Entry& ReferenceWeights::entry(std::string_view name) const {
  auto it = entries_.find(std::string(name));
  if (it == entries_.end()) throw std::runtime_error("reference: missing tensor " + std::string(name));
  return it->second;
}

std::vector<double> ReferenceWeights::vector(std::string_view name) const {
  const Entry& e = entry(name);
  std::vector<double> out;
  if (e.dtype == "f32") {
    for (std::size_t i = 0; i < e.size / 4; ++i) out.push_back(f32(data(e), i));
  } else {
    for (std::size_t i = 0; i < e.size / 2; ++i) out.push_back(bf16(data(e), i));
  }
  return out;
}

std::optional<std::vector<double>> ReferenceWeights::matvec(std::string_view base, std::span<const double> x,
                                                            std::size_t rows, std::size_t cols) const {
  const std::string b(base);
  if (!has(b + ".weight")) return std::nullopt;
  const Entry& w = entry(b + ".weight");
  const uint8_t* W = data(w);
  if (w.dtype == "u32") {
    const uint8_t* S = data(entry(b + ".scales"));
    const uint8_t* B = data(entry(b + ".biases"));
    return rows_times(rows, cols, x, [&](std::size_t r, std::vector<double>& row) { affine4_row(W, S, B, cols, r, row); });
  }
  if (w.dtype == "bf16") {
    return rows_times(rows, cols, x, [&](std::size_t r, std::vector<double>& row) {
      for (std::size_t c = 0; c < cols; ++c) row[c] = bf16(W, r * cols + c);
    });
  }
  if (w.dtype == "u8") {
    const uint8_t* S = data(entry(b + ".scales"));
    return rows_times(rows, cols, x, [&](std::size_t r, std::vector<double>& row) {
      for (std::size_t c = 0; c < cols; ++c) row[c] = static_cast<int8_t>(W[r * cols + c]) * f32(S, r);
    });
  }
  throw std::runtime_error("reference: unsupported dtype " + w.dtype + " of " + b);
}

std::vector<double> ReferenceWeights::embedding(int64_t id) const {
  const std::string base = "language_model.model.embed_tokens";
  const auto r = static_cast<std::size_t>(id);
  std::vector<double> out;
  affine4_row(data(entry(base + ".weight")), data(entry(base + ".scales")), data(entry(base + ".biases")), kHidden, r,
              out);
  return out;
}

std::vector<double> ReferenceWeights::expert_matvec(std::size_t layer, std::size_t expert, std::size_t projection,
                                                    std::span<const double> x) const {
  constexpr std::size_t kInter = 512;
  constexpr std::size_t kRecord = 3 * (kInter * kHidden / 2 + 2 * kInter * kHidden / 32);
  auto it = expert_files_.find(layer);
  if (it == expert_files_.end()) {
    char name[32];
    std::snprintf(name, sizeof name, "layer_%02zu.bin", layer);
    it = expert_files_.emplace(layer, read_file(dir_ / "packed_experts" / name)).first;
  }
  if ((expert + 1) * kRecord > it->second.size()) throw std::runtime_error("reference: short expert file");
  // gate and up map 2048 -> 512, down maps 512 -> 2048; each projection is
  // words, then scales, then biases, back to back.
  const std::size_t rows = projection == 2 ? kHidden : kInter;
  const std::size_t cols = projection == 2 ? kInter : kHidden;
  const uint8_t* W = it->second.data() + expert * kRecord + projection * (kRecord / 3);
  const uint8_t* S = W + rows * cols / 2;
  const uint8_t* B = S + rows * cols / 32;
  return rows_times(rows, cols, x, [&](std::size_t r, std::vector<double>& row) { affine4_row(W, S, B, cols, r, row); });
}

namespace {

// Full attention: returns the output projection of the gated attention.
std::vector<double> full_attention(const ReferenceWeights& w, ReferenceState& st, std::size_t layer,
                                   std::span<const double> a) {
  const std::string S = layer_key(layer, ".self_attn");
  const std::size_t fi = layer / 4;
  const std::size_t pos = st.pos;
  const std::vector<double> qp = *w.matvec(S + ".q_proj", a, 8192, kHidden);
  std::vector<double> k = *w.matvec(S + ".k_proj", a, 512, kHidden);
  const std::vector<double> v = *w.matvec(S + ".v_proj", a, 512, kHidden);
  const std::vector<double> qn = w.vector(S + ".q_norm.weight");
  const std::vector<double> kn = w.vector(S + ".k_norm.weight");

  // Per-head norm, then rotate-half over the first 64 dimensions.
  auto norm_rope = [&](std::span<const double> head, const std::vector<double>& weight) {
    std::vector<double> n = rms_norm(head, &weight);
    std::vector<double> out = n;
    for (std::size_t i = 0; i < 32; ++i) {
      const double theta = static_cast<double>(pos) * std::pow(1e7, -2.0 * static_cast<double>(i) / 64.0);
      out[i] = n[i] * std::cos(theta) - n[i + 32] * std::sin(theta);
      out[i + 32] = n[i] * std::sin(theta) + n[i + 32] * std::cos(theta);
    }
    return out;
  };
  std::vector<double> q(16 * 256), gate(16 * 256);
  for (std::size_t h = 0; h < 16; ++h) {
    const std::vector<double> r = norm_rope(std::span(qp).subspan(512 * h, 256), qn);
    std::copy(r.begin(), r.end(), q.begin() + 256 * h);
    std::copy(qp.begin() + 512 * h + 256, qp.begin() + 512 * h + 512, gate.begin() + 256 * h);
  }
  for (std::size_t j = 0; j < 2; ++j) {
    const std::vector<double> r = norm_rope(std::span(k).subspan(256 * j, 256), kn);
    std::copy(r.begin(), r.end(), k.begin() + 256 * j);
  }
  std::vector<double>& K = st.k_cache[fi];
  std::vector<double>& V = st.v_cache[fi];
  K.resize((pos + 1) * 512);
  V.resize((pos + 1) * 512);
  std::copy(k.begin(), k.end(), K.begin() + pos * 512);
  std::copy(v.begin(), v.end(), V.begin() + pos * 512);

  std::vector<double> attn(16 * 256, 0.0);
  for (std::size_t h = 0; h < 16; ++h) {
    const std::size_t kv = h / 8;
    std::vector<double> scores(pos + 1);
    for (std::size_t p = 0; p <= pos; ++p) {
      double dot = 0;
      for (std::size_t d = 0; d < 256; ++d) dot += q[256 * h + d] * K[p * 512 + 256 * kv + d];
      scores[p] = dot / 16.0;
    }
    const double m = *std::max_element(scores.begin(), scores.end());
    double sum = 0;
    for (double& s : scores) sum += (s = std::exp(s - m));
    for (std::size_t p = 0; p <= pos; ++p) {
      for (std::size_t d = 0; d < 256; ++d) attn[256 * h + d] += scores[p] / sum * V[p * 512 + 256 * kv + d];
    }
  }
  for (std::size_t i = 0; i < attn.size(); ++i) attn[i] *= sigmoid(gate[i]);
  return *w.matvec(S + ".o_proj", attn, kHidden, 4096);
}

// Gated delta-net linear attention: returns the output projection.
std::vector<double> linear_attention(const ReferenceWeights& w, ReferenceState& st, std::size_t layer,
                                     std::span<const double> a) {
  const std::string A = layer_key(layer, ".linear_attn");
  const std::size_t li = layer - (layer + 1) / 4;
  const std::vector<double> qkv = *w.matvec(A + ".in_proj_qkv", a, 8192, kHidden);
  const std::vector<double> z = *w.matvec(A + ".in_proj_z", a, 4096, kHidden);
  const std::vector<double> b = *w.matvec(A + ".in_proj_b", a, 32, kHidden);
  const std::vector<double> al = *w.matvec(A + ".in_proj_a", a, 32, kHidden);

  // Depthwise causal convolution over the last four inputs, then SiLU.
  const std::vector<double> cw = w.vector(A + ".conv1d.weight");
  std::vector<double>& conv = st.conv[li];
  std::vector<double> x(8192);
  for (std::size_t c = 0; c < 8192; ++c) {
    const double acc = conv[c] * cw[4 * c] + conv[8192 + c] * cw[4 * c + 1] + conv[16384 + c] * cw[4 * c + 2] +
                       qkv[c] * cw[4 * c + 3];
    x[c] = silu(acc);
    conv[c] = conv[8192 + c];
    conv[8192 + c] = conv[16384 + c];
    conv[16384 + c] = qkv[c];
  }
  const double inv_scale = 1.0 / std::sqrt(128.0);
  std::vector<double> q(2048), k(2048);
  for (std::size_t h = 0; h < 16; ++h) {
    const std::vector<double> qn = rms_norm(std::span(x).subspan(128 * h, 128), nullptr);
    const std::vector<double> kn = rms_norm(std::span(x).subspan(2048 + 128 * h, 128), nullptr);
    for (std::size_t t = 0; t < 128; ++t) {
      q[128 * h + t] = qn[t] * inv_scale * inv_scale;
      k[128 * h + t] = kn[t] * inv_scale;
    }
  }
  const std::vector<double> a_log = w.vector(A + ".A_log");
  const std::vector<double> dt_bias = w.vector(A + ".dt_bias");
  const std::vector<double> norm_w = w.vector(A + ".norm.weight");
  std::vector<double>& S = st.ssm[li];
  std::vector<double> gated(4096);
  for (std::size_t h = 0; h < 32; ++h) {
    const double g = std::exp(-std::exp(a_log[h]) * std::log1p(std::exp(al[h] + dt_bias[h])));
    const double beta = sigmoid(b[h]);
    const double* kh = &k[128 * (h / 2)];
    const double* qh = &q[128 * (h / 2)];
    std::vector<double> out(128);
    for (std::size_t vi = 0; vi < 128; ++vi) {
      double* row = &S[h * 16384 + vi * 128];
      double kv = 0;
      for (std::size_t ki = 0; ki < 128; ++ki) kv += (row[ki] *= g) * kh[ki];
      const double delta = (x[4096 + 128 * h + vi] - kv) * beta;
      double o = 0;
      for (std::size_t ki = 0; ki < 128; ++ki) o += (row[ki] += kh[ki] * delta) * qh[ki];
      out[vi] = o;
    }
    const std::vector<double> n = rms_norm(out, nullptr);
    for (std::size_t t = 0; t < 128; ++t) gated[128 * h + t] = n[t] * silu(z[128 * h + t]) * norm_w[t];
  }
  return *w.matvec(A + ".out_proj", gated, kHidden, 4096);
}

}  // namespace

std::vector<double> reference_token(const ReferenceWeights& w, ReferenceState& st, std::span<const double> embedding,
                                    const ReferenceShape& shape) {
  std::vector<double> h(embedding.begin(), embedding.end());
  for (std::size_t layer = 0; layer < shape.layers; ++layer) {
    const std::string in_norm = layer_key(layer, ".input_layernorm.weight");
    std::vector<double> a = h;
    if (w.has(in_norm)) {
      const std::vector<double> weight = w.vector(in_norm);
      a = rms_norm(h, &weight);
    }
    const std::vector<double> attn =
        layer % 4 == 3 ? full_attention(w, st, layer, a) : linear_attention(w, st, layer, a);
    std::vector<double> h_mid(kHidden);
    for (std::size_t i = 0; i < kHidden; ++i) h_mid[i] = h[i] + attn[i];
    const std::vector<double> post_w = w.vector(layer_key(layer, ".post_attention_layernorm.weight"));
    const std::vector<double> x = rms_norm(h_mid, &post_w);

    // Router: softmax over all experts, the k largest, renormalised.
    const std::string M = layer_key(layer, ".mlp");
    std::vector<double> p = *w.matvec(M + ".gate", x, shape.experts, kHidden);
    const double m = *std::max_element(p.begin(), p.end());
    double sum = 0;
    for (double& v : p) sum += (v = std::exp(v - m));
    for (double& v : p) v /= sum;
    std::vector<std::size_t> order(p.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return p[i] > p[j]; });
    double picked = 0;
    for (std::size_t i = 0; i < shape.k; ++i) picked += p[order[i]];

    std::vector<double> out = h_mid;
    for (std::size_t i = 0; i < shape.k; ++i) {
      const std::size_t e = order[i];
      const std::vector<double> g = w.expert_matvec(layer, e, 0, x);
      const std::vector<double> u = w.expert_matvec(layer, e, 1, x);
      std::vector<double> act(512);
      for (std::size_t j = 0; j < 512; ++j) act[j] = silu(g[j]) * u[j];
      const std::vector<double> y = w.expert_matvec(layer, e, 2, act);
      for (std::size_t j = 0; j < kHidden; ++j) out[j] += p[e] / picked * y[j];
    }
    const std::vector<double> sg = *w.matvec(M + ".shared_expert.gate_proj", x, 512, kHidden);
    const std::vector<double> su = *w.matvec(M + ".shared_expert.up_proj", x, 512, kHidden);
    std::vector<double> sact(512);
    for (std::size_t j = 0; j < 512; ++j) sact[j] = silu(sg[j]) * su[j];
    // A layer without the shared down projection has no shared-expert term.
    if (const auto shared = w.matvec(M + ".shared_expert.down_proj", sact, kHidden, 512)) {
      const double score = (*w.matvec(M + ".shared_expert_gate", x, 1, kHidden))[0];
      for (std::size_t j = 0; j < kHidden; ++j) out[j] += sigmoid(score) * (*shared)[j];
    }
    h = std::move(out);
  }
  st.pos += 1;
  const std::vector<double> final_w = w.vector("language_model.model.norm.weight");
  const std::vector<double> n = rms_norm(h, &final_w);
  return *w.matvec("language_model.lm_head", n, shape.vocab, kHidden);
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
    test::ReferenceState state;
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
  const std::vector<int64_t>&first = kFirstCall, &second = kSecondCall;

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
      EXPECT_EQ(argmax(row), std::max_element(ref.begin(), ref.end()) - ref.begin()) << "token " << first_token + t;
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
}

}  // namespace
}  // namespace varkel
