#include <deque>
#include <functional>

#include "metal_kernels/kernel_harness.h"

namespace varkel::metal::testing {
namespace {

TEST(KernelRefusals, GridsAndSizesThatWouldLeaveTheirBuffers) {
  std::deque<std::vector<float>> fs;
  std::deque<std::vector<uint16_t>> hs;
  auto F = [&](size_t n) { return std::span(fs.emplace_back(n)); };
  auto H = [&](size_t n) { return std::span(hs.emplace_back(n)); };
  using Setup = std::function<void(Dispatch&)>;
  auto moe = [&](uint32_t k) -> Setup {
    return [&, k](Dispatch& d) {
      for (uint32_t s = 0; s < 8; ++s) d.bind(3 + s, F(s == 7 ? 1 : 2048));  // slot 7 is short
      d.bind(0, F(2048)).bind(1, F(2048)).bind(2, F(2048)).bind(11, F(10)).u32(12, 2048).u32(13, k).grid(8, 256);
    };
  };
  auto sdpa = [&](uint32_t seq, uint32_t threads, uint32_t blocks) -> Setup {  // a 64-row cache
    return [&, seq, threads, blocks](Dispatch& d) {
      d.bind(0, F(16 * 256)).bind(1, F(64 * 512)).bind(2, F(64 * 512));
      if (blocks) d.bind(3, F(2 * 16 * 258)).u32(4, seq).u32(5, blocks).f32(6, 0.0625f).grid(16, threads, 2);
      else d.bind(3, F(16 * 256)).u32(4, seq).f32(5, 0.0625f).grid(16, threads);
    };
  };
  auto delta = [&](uint32_t heads, uint32_t threads, uint32_t ratio) -> Setup {
    return [&, heads, threads, ratio](Dispatch& d) {
      d.bind(0, F(32 * 128 * 128)).bind(1, F(16 * 128)).bind(2, F(16 * 128)).bind(3, F(32 * 128)).bind(4, F(32))
          .bind(5, F(32)).bind(6, F(32 * 128)).u32(7, ratio).grid(heads, threads);
    };
  };
  auto gated = [&](uint32_t dim, uint32_t heads, uint32_t threads) -> Setup {
    return [&, dim, heads, threads](Dispatch& d) {
      d.bind(0, F(4096)).bind(1, F(4096)).bind(2, H(dim)).bind(3, F(4096)).u32(4, dim).f32(5, 1e-6f)
          .grid(heads, threads);
    };
  };
  auto swiglu = [&](uint32_t n) -> Setup {  // 300 outputs, 1024 threads: fine while the guard holds
    return [&, n](Dispatch& d) { d.bind(0, F(1024)).bind(1, F(1024)).bind(2, F(300)).u32(3, n).grid(4, 256); };
  };
  const std::tuple<const char*, Setup, bool> cases[] = {
      {"rms_norm_fused_bf16", [&](Dispatch& d) {  // each group would write the whole vector
         d.bind(0, F(2048)).bind(1, H(2048)).bind(2, F(2048)).u32(3, 2048).f32(4, 1e-6f).grid(2, 256); }, true},
      {"kv_cache_append", [&](Dispatch& d) {  // one past the last row
         d.bind(0, F(512)).bind(1, F(512)).bind(2, F(8 * 512)).bind(3, F(8 * 512)).u32(4, 8).u32(5, 512)
          .grid(2, 256); },
       true},
      {"compute_decay_beta", [&](Dispatch& d) {  // would read past the heads
         d.bind(0, F(32)).bind(1, F(32)).bind(2, F(32)).bind(3, H(32)).bind(4, F(32)).bind(5, F(32)).grid(2, 32); },
       true},
      {"swiglu_fused", swiglu(300), false},          {"swiglu_fused", swiglu(301), true},
      {"moe_combine_residual", moe(4), false},       {"moe_combine_residual", moe(8), true},
      {"attn_sdpa_fused", sdpa(64, 256, 0), false},  {"attn_sdpa_fused", sdpa(65, 256, 0), true},
      {"attn_sdpa_fused", sdpa(64, 128, 0), true},   {"attn_sdpa_block", sdpa(64, 256, 2), false},
      {"attn_sdpa_block", sdpa(64, 256, 1), true},   // two working blocks would share one record per head
      {"gated_delta_net_step", delta(32, 128, 2), false},  // no bound check in the kernel: only heads × 128
      {"gated_delta_net_step", delta(32, 129, 2), true},   {"gated_delta_net_step", delta(33, 128, 2), true},
      {"gated_delta_net_step", delta(32, 128, 0), true},   {"gated_rms_norm", gated(128, 32, 128), false},
      {"gated_rms_norm", gated(128, 32, 64), true},        {"gated_rms_norm", gated(256, 16, 256), true},
  };
  for (const auto& [kernel, setup, refused] : cases) {
    Dispatch d(kernel);
    setup(d);
    EXPECT_EQ(d.validate().has_value(), refused) << kernel;
  }
}

}  // namespace
}  // namespace varkel::metal::testing
