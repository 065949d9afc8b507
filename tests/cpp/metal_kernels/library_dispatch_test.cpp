// The kernels as the engine reaches them: compiled from the library source,
// bound by index and byte offset, dispatched through command buffers.

#include <cstring>

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
};

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
  const auto* got = static_cast<const float*>(out->contents());
  for (uint32_t h = 0; h < 16; ++h) EXPECT_EQ(0, std::memcmp(&got[h * 256], &v[(h / 8) * 256], 256 * 4)) << h;

  // A grid of 128 threads per head is refused: the command buffer fails and names the kernel.
  auto refused = dispatch("attn_sdpa_fused", {Arg::buf(q_buf), Arg::buf(k_cache), Arg::buf(v_cache), Arg::buf(out),
                                              Arg::u32(1), Arg::f32(0.0625f)}, 16, 128);
  EXPECT_EQ(refused->status(), CommandBufferStatus::Error);
  EXPECT_NE(refused->error().find("attn_sdpa_fused"), std::string::npos) << refused->error();
}

}  // namespace
}  // namespace varkel::metal::testing
