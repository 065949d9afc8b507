#include "forward/reference_pass.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace varkel::test {
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

ReferenceState::ReferenceState(std::size_t linear_layers, std::size_t full_layers)
    : conv(linear_layers, std::vector<double>(3 * 8192, 0.0)),
      ssm(linear_layers, std::vector<double>(32 * 128 * 128, 0.0)),
      k_cache(full_layers),
      v_cache(full_layers) {}

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
