// The kernels as the engine reaches them: compiled from the library source,
// bound by index and byte offset, dispatched through command buffers.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "metal/metal_test_support.h"
#include "metal_kernels/kernel_harness.h"

namespace varkel::metal::testing {
namespace {

class LibraryDispatch : public MetalTest {
 protected:
  void SetUp() override {
    MetalTest::SetUp();
    auto lib = device->new_library_with_source(shader_source(), CompileOptions{});
    ASSERT_TRUE(lib.has_value()) << lib.error();
    library = *lib;
  }
  template <class T>
  std::vector<T> read(const BufferPtr& b, std::size_t count, std::size_t offset = 0) {
    std::vector<T> v(count);
    std::memcpy(v.data(), static_cast<const std::byte*>(b->contents()) + offset, count * sizeof(T));
    return v;
  }
};

TEST_F(LibraryDispatch, EveryKernelIsDeclaredAndLinked) {
  for (std::string_view name :
       {"q_head_norm_rope", "k_head_norm_rope", "kv_cache_append", "attn_sdpa_fused", "attn_sdpa_block",
        "attn_sdpa_reduce", "sigmoid_gate", "attn_scores_batched", "attn_softmax_batched", "attn_values_batched",
        "conv1d_step", "rms_norm_qk", "compute_decay_beta", "gated_delta_net_step", "gated_rms_norm",
        "rms_norm_fused_bf16", "rms_norm_sum_sq", "rms_norm_apply_bf16", "rms_norm_apply", "swiglu_fused",
        "swiglu_fused_vec4", "swiglu_fused_batched", "residual_add", "weighted_sum", "moe_combine_residual"}) {
    auto f = library->new_function(name);
    ASSERT_TRUE(f.has_value()) << f.error();
    EXPECT_TRUE(device->new_compute_pipeline_state(*f).has_value()) << name;
  }
}

TEST_F(LibraryDispatch, FirstTokenAttentionReturnsTheAppendedValueRow) {
  std::mt19937 rng(31);
  const auto q = random_floats(rng, 16 * 256), k = random_floats(rng, 512), v = random_floats(rng, 512);
  auto q_buf = make_buffer(device, q), k_buf = make_buffer(device, k), v_buf = make_buffer(device, v);
  auto k_cache = make_buffer(device, nullptr, 4096 * 512 * 4), v_cache = make_buffer(device, nullptr, 4096 * 512 * 4);
  auto out = make_buffer(device, nullptr, 16 * 256 * 4);
  ASSERT_EQ(dispatch("kv_cache_append", {Arg::buf(k_buf), Arg::buf(v_buf), Arg::buf(k_cache), Arg::buf(v_cache),
                                         Arg::u32(0), Arg::u32(512)}, 2)->status(),
            CommandBufferStatus::Completed);
  ASSERT_EQ(dispatch("attn_sdpa_fused", {Arg::buf(q_buf), Arg::buf(k_cache), Arg::buf(v_cache), Arg::buf(out),
                                         Arg::u32(1), Arg::f32(0.0625f)}, 16)->status(),
            CommandBufferStatus::Completed);
  const auto got = read<float>(out, 16 * 256);
  for (uint32_t h = 0; h < 16; ++h) EXPECT_EQ(0, std::memcmp(&got[h * 256], &v[(h / 8) * 256], 256 * 4)) << h;

  // A grid of 128 threads per head is refused: the command buffer fails and names the kernel.
  auto refused = dispatch("attn_sdpa_fused", {Arg::buf(q_buf), Arg::buf(k_cache), Arg::buf(v_cache), Arg::buf(out),
                                              Arg::u32(1), Arg::f32(0.0625f)}, 16, 128);
  EXPECT_EQ(refused->status(), CommandBufferStatus::Error);
  EXPECT_NE(refused->error().find("attn_sdpa_fused"), std::string::npos) << refused->error();
}

TEST_F(LibraryDispatch, LinearAttentionStepsAddressQKVInsideOneBuffer) {
  // First token of a layer: zero convolution history and zero state. The
  // delta-net output of value head h is β_h · (q·k) · v_h with q and k of key
  // head h / 2, after the convolution and the q/k norm.
  std::mt19937 rng(32);
  const auto input = random_floats(rng, 8192, -2, 2);
  const auto weights = random_bf16(rng, 8192 * 4, 0.25f, 1.0f);
  const std::vector<float> alpha(32, 0.0f), beta_raw(32, 0.0f), a_log(32, 0.0f);
  const std::vector<uint16_t> dt_bias(32, 0);
  auto conv_state = make_buffer(device, nullptr, 3 * 8192 * 4), in = make_buffer(device, input),
       w = make_buffer(device, weights), conv_out = make_buffer(device, nullptr, 8192 * 4),
       a = make_buffer(device, alpha), b = make_buffer(device, beta_raw), alog = make_buffer(device, a_log),
       dt = make_buffer(device, dt_bias), g = make_buffer(device, nullptr, 32 * 4),
       beta = make_buffer(device, nullptr, 32 * 4), state = make_buffer(device, nullptr, 32 * 128 * 128 * 4),
       out = make_buffer(device, nullptr, 32 * 128 * 4);
  auto run = [&](std::string_view kernel, const std::vector<Arg>& args, uint64_t groups, uint64_t threads) {
    auto cmd = dispatch(kernel, args, groups, threads);
    ASSERT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
  };
  const float inv_scale = std::bit_cast<float>(0x3DB504F3u);
  run("conv1d_step", {Arg::buf(conv_state), Arg::buf(in), Arg::buf(w), Arg::buf(conv_out), Arg::u32(8192)}, 32, 256);
  run("rms_norm_qk", {Arg::buf(conv_out), Arg::buf(conv_out, 8192), Arg::u32(128), Arg::f32(inv_scale)}, 16, 128);
  run("compute_decay_beta",
      {Arg::buf(a), Arg::buf(b), Arg::buf(alog), Arg::buf(dt), Arg::buf(g), Arg::buf(beta)}, 1, 32);
  run("gated_delta_net_step",
      {Arg::buf(state), Arg::buf(conv_out), Arg::buf(conv_out, 8192), Arg::buf(conv_out, 16384), Arg::buf(g),
       Arg::buf(beta), Arg::buf(out), Arg::u32(2)},
      32, 128);

  std::vector<double> x(8192);
  for (uint32_t c = 0; c < 8192; ++c) x[c] = silu(double(input[c]) * bf16_value(weights[c * 4 + 3]));
  auto normed = [&](uint32_t base, double factor) {
    double sum = 0;
    for (uint32_t i = 0; i < 128; ++i) sum += x[base + i] * x[base + i];
    std::vector<double> r(128);
    for (uint32_t i = 0; i < 128; ++i) r[i] = x[base + i] / std::sqrt(sum / 128 + 1e-6) * factor;
    return r;
  };
  const auto got = read<float>(out, 32 * 128);
  std::vector<double> want(32 * 128);
  for (uint32_t h = 0; h < 32; ++h) {
    const auto qn = normed((h / 2) * 128, 1.0 / 128), kn = normed(2048 + (h / 2) * 128, 1.0 / std::sqrt(128.0));
    double kq = 0;
    for (uint32_t i = 0; i < 128; ++i) kq += qn[i] * kn[i];
    // β = sigmoid(0) = 0.5; decay is irrelevant on a zero state.
    for (uint32_t vi = 0; vi < 128; ++vi) want[h * 128 + vi] = 0.5 * kq * x[4096 + h * 128 + vi];
  }
  EXPECT_LT(max_error(got, want), 1e-5);
  // The history now holds [0, 0, input].
  const auto history = read<float>(conv_state, 8192, 2 * 8192 * 4);
  EXPECT_EQ(0, std::memcmp(history.data(), input.data(), 8192 * 4));
}

}  // namespace
}  // namespace varkel::metal::testing
