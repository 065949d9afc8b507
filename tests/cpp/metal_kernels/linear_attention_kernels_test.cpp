#include <cstring>
#include <limits>

#include "common/reference_exp.h"
#include "metal/kernels/activations.h"
#include "metal_kernels/kernel_harness.h"

namespace varkel::metal::testing {
namespace {

constexpr uint32_t kConvDim = 8192, kKeyHeads = 16, kValueHeads = 32, kDim = 128;

TEST(LinearAttentionKernels, ConvolutionStepShiftsStateAndAppliesSilu) {
  std::mt19937 rng(11);
  // The full width, and one that ends in a partial vector.
  for (const uint32_t dim : {kConvDim, kConvDim - 3}) {
    const auto state = random_floats(rng, 3 * dim, -2, 2), input = random_floats(rng, dim, -2, 2);
    const auto weights = random_bf16(rng, 4 * dim);
    std::vector<double> want(dim);
    std::vector<float> exact(dim);
    for (uint32_t c = 0; c < dim; ++c) {
      double acc = double(input[c]) * bf16_value(weights[c * 4 + 3]);
      for (uint32_t k = 0; k < 3; ++k) acc += double(state[k * dim + c]) * bf16_value(weights[c * 4 + k]);
      want[c] = silu(acc);
      float sum = 0.0f;
      for (uint32_t k = 0; k < 3; ++k) sum += state[k * dim + c] * float(bf16_value(weights[c * 4 + k]));
      exact[c] = metal::silu(sum + input[c] * float(bf16_value(weights[c * 4 + 3])));
    }
    for_each_simd_target([&] {
      auto stepped = state;
      std::vector<float> output(dim, 99.0f);
      Dispatch("conv1d_step").bind(0, stepped).bind(1, input).bind(2, weights).bind(3, output).u32(4, dim)
          .grid(kConvDim / 256, 256).run();
      for (uint32_t c = 0; c < dim; ++c) {
        ASSERT_EQ(stepped[c], state[dim + c]);
        ASSERT_EQ(stepped[dim + c], state[2 * dim + c]);
        ASSERT_EQ(stepped[2 * dim + c], input[c]);
      }
      EXPECT_LT(max_error(output, want), 16 * 8 * kEps);
      EXPECT_EQ(0, std::memcmp(output.data(), exact.data(), dim * 4)) << dim;
    });
  }
}

std::vector<double> head_norm(const float* x, double factor) {
  return rms_reference(std::span(x, kDim), 1e-6, [&](size_t) { return factor; });
}

TEST(LinearAttentionKernels, QkNormScalesQueryTwiceAndKeyOnce) {
  std::mt19937 rng(12);
  auto conv_out = random_floats(rng, kConvDim, -3, 3);
  const auto raw = conv_out;
  Dispatch("rms_norm_qk")
      .bind(0, std::span(conv_out)).bind(1, std::span(conv_out).subspan(kKeyHeads * kDim))
      .u32(2, kDim).f32(3, std::bit_cast<float>(0x3DB504F3u)).grid(kKeyHeads, kDim).run();
  for (uint32_t h = 0; h < kKeyHeads; ++h) {
    const auto q = head_norm(&raw[h * kDim], 1.0 / 128);
    const auto k = head_norm(&raw[(kKeyHeads + h) * kDim], 1.0 / std::sqrt(128.0));
    EXPECT_LT(max_error(std::span(conv_out).subspan(h * kDim, kDim), q), 1e-6 / 16);
    EXPECT_LT(max_error(std::span(conv_out).subspan((kKeyHeads + h) * kDim, kDim), k), 1e-6);
  }
  EXPECT_EQ(0, std::memcmp(&conv_out[2 * kKeyHeads * kDim], &raw[2 * kKeyHeads * kDim], 4 * kValueHeads * kDim));

  // Bit for bit the float steps of one head after another, q's before k's,
  // also for k overlapping q, where each head sees what the ones before it
  // wrote.
  const float inv_scale = std::bit_cast<float>(0x3DB504F3u);
  auto scale = [&](float* x, float factor, bool twice) {
    float sum = 0.0f;
    for (uint32_t t = 0; t < kDim; ++t) sum += x[t] * x[t];
    const float inv = 1.0f / std::sqrt(sum / float(kDim) + 1e-6f);
    for (uint32_t t = 0; t < kDim; ++t) x[t] = twice ? x[t] * inv * factor * factor : x[t] * inv * factor;
  };
  struct Case { uint32_t heads, k_offset; };
  for (const Case c : {Case{kKeyHeads, kKeyHeads * kDim}, Case{kKeyHeads, kDim / 2}}) {
    auto want = raw;
    for (uint32_t h = 0; h < c.heads; ++h) {
      scale(&want[h * kDim], inv_scale, true);
      scale(&want[c.k_offset + h * kDim], inv_scale, false);
    }
    auto got = raw;
    Dispatch("rms_norm_qk").bind(0, std::span(got)).bind(1, std::span(got).subspan(c.k_offset))
        .u32(2, kDim).f32(3, inv_scale).grid(c.heads, kDim).run();
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4)) << c.heads << " " << c.k_offset;
  }
}

TEST(LinearAttentionKernels, DecayAndWriteStrength) {
  std::mt19937 rng(13);
  auto alpha = random_floats(rng, kValueHeads, -4, 4), beta = random_floats(rng, kValueHeads, -6, 6);
  auto a_log = random_floats(rng, kValueHeads, -2, 2);
  auto dt_bias = random_bf16(rng, kValueHeads, -1, 1);
  // Head 0: A_log = 0, alpha + dt_bias = 0, so g = 0.5. Head 1: exp overflows, g = 0.
  a_log[0] = 0.0f, dt_bias[0] = 0x3F80, alpha[0] = -1.0f, alpha[1] = 200.0f;
  std::vector<float> g(kValueHeads), b(kValueHeads);
  Dispatch("compute_decay_beta").bind(0, alpha).bind(1, beta).bind(2, a_log).bind(3, dt_bias).bind(4, g).bind(5, b)
      .grid(1, kValueHeads).run();
  EXPECT_NEAR(g[0], 0.5, 2 * kEps);
  EXPECT_EQ(g[1], 0.0f);
  for (uint32_t h = 0; h < kValueHeads; ++h) {
    const double x = std::exp(double(a_log[h])) * std::log1p(std::exp(double(alpha[h]) + bf16_value(dt_bias[h])));
    const double want = std::exp(-x);
    EXPECT_NEAR(g[h], want, (x + 2) * 4 * kEps * want + std::numeric_limits<float>::denorm_min()) << h;
    EXPECT_NEAR(b[h], sigmoid(beta[h]), 4 * kEps) << h;
  }
}

// The decay pinned bit for bit: each step rounded to f32, the softplus's log
// correctly rounded. The table's heads take the log of a float the C
// library's logf misrounds, by enough to change g; the other heads are random.
TEST(LinearAttentionKernels, DecayTakesTheCorrectlyRoundedLog) {
  struct Case {
    float alpha;
    uint16_t dt_bias;
    float a_log;
  };
  const Case cases[] = {
      {-0x1.8da08p+1f, 0x3f1f, 0x1.6p+0f},    {-0x1.315772p+1f, 0x3ed2, -0x1.5p-1f}, {-0x1.a1214p+1f, 0xbf17, 0x1.ap-1f},
      {-0x1.053ba6p+1f, 0xbee4, -0x1.a8p+0f}, {-0x1.991eccp+0f, 0x3ea7, -0x1.ep-2f}, {-0x1.ff9e8cp+0f, 0x3d67, -0x1.6p-3f},
      {-0x1.7d1f1ap+1f, 0xbf0c, 0x1.5p+0f},   {-0x1.18610cp+0f, 0xbf37, 0x1.4p+0f},  {-0x1.f672cep+1f, 0x3e4b, 0x1.6cp+0f},
      {-0x1.9a7428p+0f, 0xbd03, -0x1.28p-1f},
  };
  std::mt19937 rng(15);
  auto alpha = random_floats(rng, kValueHeads, -4, 4), beta = random_floats(rng, kValueHeads, -6, 6);
  auto a_log = random_floats(rng, kValueHeads, -2, 2);
  auto dt_bias = random_bf16(rng, kValueHeads, -1, 1);
  for (uint32_t i = 0; i < std::size(cases); ++i) {
    alpha[3 * i] = cases[i].alpha, dt_bias[3 * i] = cases[i].dt_bias, a_log[3 * i] = cases[i].a_log;
  }
  std::vector<float> g(kValueHeads), b(kValueHeads);
  Dispatch("compute_decay_beta").bind(0, alpha).bind(1, beta).bind(2, a_log).bind(3, dt_bias).bind(4, g).bind(5, b)
      .grid(1, kValueHeads).run();
  for (uint32_t h = 0; h < kValueHeads; ++h) {
    const float sp = testing_support::correctly_rounded_log(1.0f + exp_f32(alpha[h] + float(bf16_value(dt_bias[h]))));
    const float want = exp_f32(-exp_f32(a_log[h]) * sp);
    EXPECT_EQ(std::bit_cast<uint32_t>(g[h]), std::bit_cast<uint32_t>(want)) << h << ": " << g[h] << " versus " << want;
  }
}

// Rows 0 .. rows − 1 of every head stepped in T, one row after another as
// one thread per row does: decay, the in-order dot product with k, the
// write, the in-order dot product with q.
template <class T>
void delta_net_reference(std::vector<T>& state, const std::vector<float>& q, const std::vector<float>& k,
                         const std::vector<float>& v, const std::vector<float>& g, const std::vector<float>& beta,
                         uint32_t rows, std::vector<T>& out) {
  for (uint32_t h = 0; h < kValueHeads; ++h) {
    const float *kh = &k[(h / 2) * kDim], *qh = &q[(h / 2) * kDim];
    for (uint32_t vi = 0; vi < rows; ++vi) {
      T *row = &state[(h * kDim + vi) * kDim], kv = 0, o = 0;
      for (uint32_t ki = 0; ki < kDim; ++ki) kv += (row[ki] *= g[h]) * kh[ki];
      const T delta = (v[h * kDim + vi] - kv) * beta[h];
      for (uint32_t ki = 0; ki < kDim; ++ki) o += (row[ki] += kh[ki] * delta) * qh[ki];
      out[h * kDim + vi] = o;
    }
  }
}

TEST(LinearAttentionKernels, DeltaNetStepMatchesDoubleRecurrence) {
  std::mt19937 rng(14);
  auto state = random_floats(rng, kValueHeads * kDim * kDim);
  auto g = random_floats(rng, kValueHeads, 0.5, 1), beta = random_floats(rng, kValueHeads, 0, 1);
  // q and k as rms_norm_qk leaves them (rms 1/128 and 1/√128), then v.
  auto q = random_floats(rng, kKeyHeads * kDim, -1.7f / 128, 1.7f / 128);
  auto k = random_floats(rng, kKeyHeads * kDim, -0.15f, 0.15f), v = random_floats(rng, kValueHeads * kDim, -2, 2);
  std::vector<float> output(kValueHeads * kDim, 99.0f);
  std::vector<double> s(state.begin(), state.end()), want(kValueHeads * kDim);
  for (int step = 0; step < 3; ++step) {
    delta_net_reference(s, q, k, v, g, beta, kDim, want);
    Dispatch("gated_delta_net_step").bind(0, state).bind(1, q).bind(2, k).bind(3, v).bind(4, g).bind(5, beta)
        .bind(6, output).u32(7, 2).grid(kValueHeads, kDim).run();
    EXPECT_LT(max_error(output, want), 4e-5) << step;
    EXPECT_LT(max_error(state, s), 4e-5) << step;
  }
  // Every SIMD target takes each row through the same float steps as one
  // thread per row, also when the rows leave a partial tile and a partial quad.
  for (const uint32_t rows : {kDim, 23u}) {
    auto want_state = state;
    std::vector<float> want_output(kValueHeads * kDim, 99.0f);
    delta_net_reference(want_state, q, k, v, g, beta, rows, want_output);
    for_each_simd_target([&] {
      auto stepped = state;
      std::vector<float> out(kValueHeads * kDim, 99.0f);
      Dispatch("gated_delta_net_step").bind(0, stepped).bind(1, q).bind(2, k).bind(3, v).bind(4, g).bind(5, beta)
          .bind(6, out).u32(7, 2).grid(kValueHeads, rows).run();
      EXPECT_EQ(0, std::memcmp(stepped.data(), want_state.data(), stepped.size() * 4)) << rows;
      EXPECT_EQ(0, std::memcmp(out.data(), want_output.data(), out.size() * 4)) << rows;
    });
  }
}

TEST(LinearAttentionKernels, GatedNormMatchesReference) {
  std::mt19937 rng(15);
  auto values = random_floats(rng, kValueHeads * kDim, -2, 2), z = random_floats(rng, kValueHeads * kDim, -4, 4);
  auto w = random_bf16(rng, kDim, 0.5, 1.5);
  // Also a count of heads that ends in a partial group, and in place.
  for_each_simd_target([&] {
    for (const uint32_t heads : {kValueHeads, 13u}) {
      std::vector<float> out(heads * kDim), in_place = values;
      Dispatch("gated_rms_norm").bind(0, values).bind(1, z).bind(2, w).bind(3, out).u32(4, kDim).f32(5, 1e-6f)
          .grid(heads, kDim).run();
      Dispatch("gated_rms_norm").bind(0, in_place).bind(1, z).bind(2, w).bind(3, in_place).u32(4, kDim)
          .f32(5, 1e-6f).grid(heads, kDim).run();
      EXPECT_EQ(0, std::memcmp(out.data(), in_place.data(), out.size() * 4));
      for (uint32_t h = 0; h < heads; ++h) {
        const float* x = &values[h * kDim];
        auto want = head_norm(x, 1.0);
        float sum = 0.0f;
        for (uint32_t t = 0; t < kDim; ++t) sum += x[t] * x[t];
        const float inv = 1.0f / std::sqrt(sum / float(kDim) + 1e-6f);
        for (uint32_t t = 0; t < kDim; ++t) {
          want[t] *= silu(z[h * kDim + t]) * bf16_value(w[t]);
          const float exact = x[t] * inv * metal::silu(z[h * kDim + t]) * float(bf16_value(w[t]));
          ASSERT_EQ(std::bit_cast<uint32_t>(out[h * kDim + t]), std::bit_cast<uint32_t>(exact)) << h << " " << t;
        }
        EXPECT_LT(max_error(std::span(out).subspan(h * kDim, kDim), want), 1e-5);
      }
    }
  });
}

}  // namespace
}  // namespace varkel::metal::testing
