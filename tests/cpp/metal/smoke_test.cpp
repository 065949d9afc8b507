#include "metal_test_support.h"
namespace varkel::metal::testing {
TEST_F(MetalTest, Smoke) {
  std::vector<uint16_t> w(16 * 64, 0x3F80);
  std::vector<float> x(64, 2.0f);
  auto W = make_buffer(device, w); auto X = make_buffer(device, x); auto O = make_buffer(device, nullptr, 16 * 4);
  auto cmd = dispatch("matvec_bf16", {Arg::buf(W), Arg::buf(X), Arg::buf(O), Arg::u32(16), Arg::u32(64)}, 2);
  ASSERT_EQ(cmd->status(), CommandBufferStatus::Completed) << cmd->error();
  EXPECT_EQ(static_cast<float*>(O->contents())[15], 128.0f);
}
}
