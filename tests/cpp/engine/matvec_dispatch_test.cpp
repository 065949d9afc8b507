#include <gtest/gtest.h>

#include "engine/qwen35_moe/metal_context.h"
#include "engine_test_util.h"
#include "model/weights/weight_file.h"
#include "support/weight_file_builder.h"

namespace varkel {
namespace {

using qwen35::MetalContext;

constexpr uint32_t kOut = 20;
constexpr uint32_t kIn = 256;

TEST(MatvecDispatch, MissingTensorsAndUnsupportedTypesEncodeNothingAndSaySo) {
  const testing_support::ScratchDir dir;
  test_support::WeightFileBuilder builder;
  const auto bytes = [](std::size_t n) { return std::vector<uint8_t>(n, 0x11); };
  builder.add_raw("m_f32.weight", "f32", {kOut, kIn}, bytes(std::size_t{kOut} * kIn * 4));
  builder.add_raw("m_f16.weight", "F16", {kOut, kIn}, bytes(std::size_t{kOut} * kIn * 2));
  builder.add_raw("m_nobiases.weight", "u32", {kOut, kIn / 8}, bytes(std::size_t{kOut} * kIn / 2));
  builder.add_raw("m_nobiases.scales", "bf16", {kOut, kIn / 64}, bytes(std::size_t{kOut} * (kIn / 64) * 2));
  builder.add_raw("m_u8bare.weight", "u8", {kOut, kIn}, bytes(std::size_t{kOut} * kIn));
  builder.write(dir / "model_weights.bin", dir / "model_weights.json");
  testing::internal::CaptureStderr();
  auto weights = WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json");
  auto parts = MetalContext::create<StrippedModel>(*weights, 0, "FusedExp2", embedded_shader_source());
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(parts) << parts.error().to_string();
  auto x = *parts->ctx.device->new_buffer(kIn * sizeof(float));
  auto out = *parts->ctx.device->new_buffer(kOut * sizeof(float));

  const std::pair<std::string, std::string> cases[] = {
      {"absent", "[encode_matvec_into] WARNING: tensor not found: absent.weight\n"},
      {"m_nobiases", "[encode_matvec_into] WARNING: tensor not found: m_nobiases.biases\n"},
      {"m_u8bare", "[encode_matvec_into] WARNING: tensor not found: m_u8bare.scales\n"},
      {"m_f32", "[encode_matvec_into] ERROR: unsupported dtype 'f32' for tensor m_f32.weight\n"},
      {"m_f16", "[encode_matvec_into] ERROR: unsupported dtype 'unknown' for tensor m_f16.weight\n"},
  };
  for (const auto& [name, line] : cases) {
    SCOPED_TRACE(name);
    auto cmd = parts->ctx.queue->command_buffer();
    auto enc = cmd->compute_command_encoder();
    testing::internal::CaptureStderr();
    Result<bool> encoded = parts->weights.encode_matvec_into(*weights, parts->ctx, *enc, name, x, out, kOut, kIn);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), line);
    enc->end_encoding();
    EXPECT_EQ(cmd->dispatch_count(), 0u);
    cmd->commit();
    cmd->wait_until_completed();
    ASSERT_TRUE(encoded);
    EXPECT_FALSE(*encoded);
  }
}

}  // namespace
}  // namespace varkel
