#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "engine/qwen35_moe/metal_context.h"
#include "engine_test_util.h"
#include "model/weights/weight_file.h"
#include "support/weight_file_builder.h"

namespace varkel {
namespace {

using qwen35::ContextParts;
using qwen35::MetalContext;
using qwen35::Operand;

constexpr uint32_t kOut = 20;  // not a multiple of 8
constexpr uint32_t kIn = 256;  // two FP8 groups, four 4-bit groups

std::vector<float> random_values(std::size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<float> values(n);
  for (float& v : values) v = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
  return values;
}

class MatvecDispatch : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new std::filesystem::path(engine_test::fresh_dir("matvec"));
    test_support::WeightFileBuilder builder;
    uint32_t seed = 1;
    for (auto [name, dtype] : std::vector<std::pair<std::string, DType>>{{"m_u32", DType::U32},
                                                                        {"m_bf16", DType::Bf16},
                                                                        {"m_u8", DType::U8},
                                                                        {"m_fp4", DType::Fp4E2m1},
                                                                        {"m_fp8", DType::Fp8E4m3},
                                                                        {"m_f32", DType::F32}}) {
      builder.add_values(name + ".weight", dtype, kOut, kIn, random_values(std::size_t{kOut} * kIn, seed++));
    }
    const std::vector<uint8_t> words(std::size_t{kOut} * kIn / 2, 0x11);
    const std::vector<uint8_t> groups(std::size_t{kOut} * (kIn / 64) * 2, 0x3F);
    builder.add_raw("m_f16.weight", "F16", {kOut, kIn}, std::vector<uint8_t>(std::size_t{kOut} * kIn * 2, 0));
    builder.add_raw("m_noscales.weight", "u32", {kOut, kIn / 8}, words);
    builder.add_raw("m_nobiases.weight", "u32", {kOut, kIn / 8}, words);
    builder.add_raw("m_nobiases.scales", "bf16", {kOut, kIn / 64}, groups);
    builder.add_raw("m_u8bare.weight", "u8", {kOut, kIn}, std::vector<uint8_t>(std::size_t{kOut} * kIn, 1));
    builder.write(*dir_ / "model_weights.bin", *dir_ / "model_weights.json");

    testing::internal::CaptureStderr();
    weights_ = new WeightFile(*WeightFile::open(*dir_ / "model_weights.bin", *dir_ / "model_weights.json"));
    testing::internal::GetCapturedStderr();
  }
  static void TearDownTestSuite() { delete weights_; std::filesystem::remove_all(*dir_); delete dir_; }

  static ContextParts context() {
    testing::internal::CaptureStderr();
    auto parts = MetalContext::create<StrippedModel>(*weights_, 0, "FusedExp2", embedded_shader_source());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(parts) << parts.error().to_string();
    return std::move(*parts);
  }

  static metal::BufferPtr floats(const ContextParts& parts, const std::vector<float>& values) {
    auto buffer = *parts.ctx.device->new_buffer(values.size() * sizeof(float));
    std::memcpy(buffer->contents(), values.data(), values.size() * sizeof(float));
    return buffer;
  }
  static std::vector<float> read(const metal::BufferPtr& buffer, std::size_t n) {
    std::vector<float> out(n);
    std::memcpy(out.data(), buffer->contents(), n * sizeof(float));
    return out;
  }

  struct Run {
    Result<bool> encoded;
    std::size_t dispatches;
    std::string stderr_text;
  };
  static Run run_matvec(const ContextParts& parts, const std::string& name, const Operand& x, const Operand& out) {
    auto cmd = parts.ctx.queue->command_buffer();
    auto enc = cmd->compute_command_encoder();
    testing::internal::CaptureStderr();
    Result<bool> encoded = parts.weights.encode_matvec_into(*weights_, parts.ctx, *enc, name, x, out, kOut, kIn);
    std::string err = testing::internal::GetCapturedStderr();
    enc->end_encoding();
    const std::size_t dispatches = cmd->dispatch_count();
    cmd->commit();
    cmd->wait_until_completed();
    EXPECT_EQ(cmd->status(), metal::CommandBufferStatus::Completed) << cmd->error();
    return Run{std::move(encoded), dispatches, std::move(err)};
  }

  static inline std::filesystem::path* dir_ = nullptr;
  static inline WeightFile* weights_ = nullptr;
};

TEST_F(MatvecDispatch, EveryStorageTypeMatchesItsKernelBitForBit) {
  ContextParts parts = context();
  auto x = floats(parts, random_values(kIn, 99));
  // An output bound at a byte offset, as stages do with sub-buffers.
  auto out = *parts.ctx.device->new_buffer(4096);

  struct Kernel {
    std::string name;
    metal::ComputePipelineStatePtr pipeline;
    std::vector<std::string> companions;
    std::optional<uint32_t> group;
  };
  const auto& p = parts.ctx.pipelines;
  const std::vector<Kernel> kernels = {{"m_u32", p.dequant_matvec_4bit_v3, {".scales", ".biases"}, 64},
                                       {"m_bf16", p.matvec_bf16, {}, std::nullopt},
                                       {"m_u8", p.matvec_int8, {".scales"}, std::nullopt},
                                       {"m_fp4", p.dequant_matvec_fp4_e2m1, {".scales"}, 64},
                                       {"m_fp8", p.matvec_fp8_e4m3, {".scales"}, 128}};
  for (const Kernel& kernel : kernels) {
    SCOPED_TRACE(kernel.name);
    std::memset(out->contents(), 0xFF, out->length());
    Run run = run_matvec(parts, kernel.name, x, Operand(out, 256));
    ASSERT_TRUE(run.encoded) << run.encoded.error().to_string();
    EXPECT_TRUE(*run.encoded);
    EXPECT_EQ(run.dispatches, 1u);
    EXPECT_EQ(run.stderr_text, "");
    const std::vector<float> got = read(out, 64 + kOut);
    EXPECT_EQ(std::bit_cast<uint32_t>(got[63]), 0xFFFFFFFFu);  // before the offset: untouched

    // Against the kernel dispatched by hand, operands bound at their manifest offsets.
    auto direct = *parts.ctx.device->new_buffer(kOut * sizeof(float));
    auto cmd = parts.ctx.queue->command_buffer();
    auto enc = cmd->compute_command_encoder();
    enc->set_compute_pipeline_state(kernel.pipeline);
    uint32_t index = 0;
    enc->set_buffer(parts.weights.buffer, weights_->find(kernel.name + ".weight")->offset, index++);
    for (const auto& suffix : kernel.companions) {
      enc->set_buffer(parts.weights.buffer, weights_->find(kernel.name + suffix)->offset, index++);
    }
    enc->set_buffer(x, 0, index++);
    enc->set_buffer(direct, 0, index++);
    for (uint32_t value : {kOut, kIn}) enc->set_bytes(&value, 4, index++);
    if (kernel.group) enc->set_bytes(&*kernel.group, 4, index++);
    enc->dispatch_threadgroups(metal::Size{(kOut + 7) / 8, 1, 1}, metal::Size{256, 1, 1});
    enc->end_encoding();
    cmd->commit();
    cmd->wait_until_completed();
    ASSERT_EQ(cmd->status(), metal::CommandBufferStatus::Completed) << cmd->error();
    const std::vector<float> expected = read(direct, kOut);
    for (uint32_t r = 0; r < kOut; ++r) EXPECT_EQ(std::bit_cast<uint32_t>(got[64 + r]), std::bit_cast<uint32_t>(expected[r]));
  }
}

TEST_F(MatvecDispatch, MissingTensorsAndUnsupportedTypesEncodeNothingAndSaySo) {
  ContextParts parts = context();
  auto x = floats(parts, random_values(kIn, 5));
  auto out = *parts.ctx.device->new_buffer(kOut * sizeof(float));
  const std::pair<std::string, std::string> cases[] = {
      {"absent", "[encode_matvec_into] WARNING: tensor not found: absent.weight\n"},
      {"m_noscales", "[encode_matvec_into] WARNING: tensor not found: m_noscales.scales\n"},
      {"m_nobiases", "[encode_matvec_into] WARNING: tensor not found: m_nobiases.biases\n"},
      {"m_u8bare", "[encode_matvec_into] WARNING: tensor not found: m_u8bare.scales\n"},
      {"m_f32", "[encode_matvec_into] ERROR: unsupported dtype 'f32' for tensor m_f32.weight\n"},
      {"m_f16", "[encode_matvec_into] ERROR: unsupported dtype 'unknown' for tensor m_f16.weight\n"},
  };
  for (const auto& [name, line] : cases) {
    SCOPED_TRACE(name);
    Run run = run_matvec(parts, name, x, out);
    ASSERT_TRUE(run.encoded);
    EXPECT_FALSE(*run.encoded);
    EXPECT_EQ(run.dispatches, 0u);
    EXPECT_EQ(run.stderr_text, line);
  }
}

}  // namespace
}  // namespace varkel
