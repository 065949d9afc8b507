#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "engine/qwen35_moe/metal_context.h"
#include "engine/qwen35_moe/metal_kernels.h"
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
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> values(n);
  for (float& v : values) v = dist(rng);
  return values;
}

template <class T>
T load(const uint8_t* bytes, std::size_t index) {
  T value;
  std::memcpy(&value, bytes + index * sizeof(T), sizeof(T));
  return value;
}
float widen_bf16(uint16_t pattern) { return std::bit_cast<float>(static_cast<uint32_t>(pattern) << 16); }

// E4M3 decoded from its bit fields, top binade saturating at 240.
float fp8_value(uint8_t code) {
  const int e = (code >> 3) & 15;
  const int m = code & 7;
  float magnitude = e == 0 ? std::ldexp(static_cast<float>(m), -9)
                   : e == 15 ? 240.0f
                             : std::ldexp(1.0f + static_cast<float>(m) / 8.0f, e - 7);
  return (code & 0x80) ? -magnitude : magnitude;
}
float fp4_value(uint32_t code) {
  static constexpr float kMagnitudes[] = {0.0f, 0.5f, 1.0f, 1.5f, 2.0f, 3.0f, 4.0f, 6.0f};
  return (code & 8) ? -kMagnitudes[code & 7] : kMagnitudes[code & 7];
}

// The matrix `name` decoded on the CPU straight from the file's bytes.
std::vector<double> decode_matrix(const WeightFile& weights, const std::string& name) {
  const TensorInfo& w = *weights.find(name + ".weight");
  const uint8_t* data = weights.data() + w.offset;
  auto part = [&](const char* suffix) { return weights.data() + weights.find(name + suffix)->offset; };
  std::vector<double> out(std::size_t{kOut} * kIn);
  for (uint32_t r = 0; r < kOut; ++r) {
    for (uint32_t c = 0; c < kIn; ++c) {
      const std::size_t i = std::size_t{r} * kIn + c;
      double value = 0;
      if (w.dtype == "u32" || w.dtype == "fp4_e2m1") {
        const uint32_t word = load<uint32_t>(data, std::size_t{r} * (kIn / 8) + c / 8);
        const uint32_t code = (word >> (4 * (c % 8))) & 15;
        const std::size_t group = std::size_t{r} * (kIn / 64) + c / 64;
        const float scale = widen_bf16(load<uint16_t>(part(".scales"), group));
        value = w.dtype == "u32" ? double(code) * scale + widen_bf16(load<uint16_t>(part(".biases"), group))
                                 : double(fp4_value(code)) * scale;
      } else if (w.dtype == "bf16") {
        value = widen_bf16(load<uint16_t>(data, i));
      } else if (w.dtype == "u8") {
        value = double(static_cast<int8_t>(data[i])) * load<float>(part(".scales"), r);
      } else if (w.dtype == "fp8_e4m3") {
        value = double(fp8_value(data[i])) * widen_bf16(load<uint16_t>(part(".scales"), std::size_t{r} * 2 + c / 128));
      }
      out[i] = value;
    }
  }
  return out;
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
    auto weights = WeightFile::open(*dir_ / "model_weights.bin", *dir_ / "model_weights.json");
    testing::internal::GetCapturedStderr();
    ASSERT_TRUE(weights) << weights.error().to_string();
    weights_ = new WeightFile(std::move(*weights));
  }
  static void TearDownTestSuite() {
    delete weights_;
    std::filesystem::remove_all(*dir_);
    delete dir_;
  }

  static ContextParts context(std::string_view source = embedded_shader_source()) {
    testing::internal::CaptureStderr();
    auto parts = MetalContext::create<StrippedModel>(*weights_, 0, "FusedExp2", source);
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

  // Runs encode_matvec_into once; returns its result, the dispatch count and stderr.
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

TEST_F(MatvecDispatch, EveryStorageTypeComputesTheDecodedProductLikeItsKernel) {
  ContextParts parts = context();
  const std::vector<float> x_values = random_values(kIn, 99);
  auto x = floats(parts, x_values);
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

    // Against the CPU decode of the stored bytes.
    const std::vector<double> w = decode_matrix(*weights_, kernel.name);
    for (uint32_t r = 0; r < kOut; ++r) {
      double want = 0;
      double magnitude = 0;
      for (uint32_t c = 0; c < kIn; ++c) {
        want += w[std::size_t{r} * kIn + c] * x_values[c];
        magnitude += std::abs(w[std::size_t{r} * kIn + c] * x_values[c]);
      }
      EXPECT_NEAR(got[64 + r], want, 1e-5 * magnitude + 1e-6) << "row " << r;
    }

    // Against the kernel dispatched by hand with the weight and companions
    // bound at their manifest offsets.
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
  struct Case {
    std::string name;
    std::string line;
  };
  const std::vector<Case> cases = {
      {"absent", "[encode_matvec_into] WARNING: tensor not found: absent.weight\n"},
      {"m_noscales", "[encode_matvec_into] WARNING: tensor not found: m_noscales.scales\n"},
      {"m_nobiases", "[encode_matvec_into] WARNING: tensor not found: m_nobiases.biases\n"},
      {"m_u8bare", "[encode_matvec_into] WARNING: tensor not found: m_u8bare.scales\n"},
      {"m_f32", "[encode_matvec_into] ERROR: unsupported dtype 'f32' for tensor m_f32.weight\n"},
      {"m_f16", "[encode_matvec_into] ERROR: unsupported dtype 'unknown' for tensor m_f16.weight\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Run run = run_matvec(parts, c.name, x, out);
    ASSERT_TRUE(run.encoded);
    EXPECT_FALSE(*run.encoded);
    EXPECT_EQ(run.dispatches, 0u);
    EXPECT_EQ(run.stderr_text, c.line);
  }
}

TEST_F(MatvecDispatch, EmptyManifestMissesEveryWeight) {
  const auto dir = engine_test::fresh_dir("matvec_empty");
  test_support::WeightFileBuilder().write(dir / "model_weights.bin", dir / "model_weights.json");
  testing::internal::CaptureStderr();
  auto empty = WeightFile::open(dir / "model_weights.bin", dir / "model_weights.json");
  auto parts = MetalContext::create<StrippedModel>(*empty, 0, "FusedExp1");
  const std::string lines = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(empty && parts);
  EXPECT_NE(lines.find("[gpu-weight] Wrapped 0.00 GB weight file in Metal buffer\n"), std::string::npos);
  auto cmd = parts->ctx.queue->command_buffer();
  auto enc = cmd->compute_command_encoder();
  testing::internal::CaptureStderr();
  auto result = parts->weights.encode_matvec_into(*empty, parts->ctx, *enc, "language_model.lm_head",
                                                  parts->ctx.buf_hidden, parts->ctx.buf_mlp_in, 1, 8);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "[encode_matvec_into] WARNING: tensor not found: language_model.lm_head.weight\n");
  ASSERT_TRUE(result);
  EXPECT_FALSE(*result);
  enc->end_encoding();
  EXPECT_EQ(cmd->dispatch_count(), 0u);
  std::filesystem::remove_all(dir);
}

TEST_F(MatvecDispatch, MissingOptionalMatvecPipelinesFailOnlyTheirOwnType) {
  ContextParts without_fp8 = context(engine_test::source_without_kernel("matvec_fp8_e4m3"));
  auto x = floats(without_fp8, random_values(kIn, 6));
  auto out = *without_fp8.ctx.device->new_buffer(kOut * sizeof(float));
  Run fp8 = run_matvec(without_fp8, "m_fp8", x, out);
  ASSERT_FALSE(fp8.encoded);
  EXPECT_EQ(fp8.encoded.error().to_string(), "Shader error: matvec_fp8_e4m3 kernel missing");
  EXPECT_EQ(fp8.dispatches, 0u);
  for (const char* other : {"m_u32", "m_bf16", "m_u8", "m_fp4"}) {
    Run run = run_matvec(without_fp8, other, x, out);
    ASSERT_TRUE(run.encoded) << other;
    EXPECT_TRUE(*run.encoded) << other;
  }

  ContextParts without_fp4 = context(engine_test::source_without_kernel("dequant_matvec_fp4_e2m1"));
  Run fp4 = run_matvec(without_fp4, "m_fp4", floats(without_fp4, random_values(kIn, 7)),
                       *without_fp4.ctx.device->new_buffer(kOut * sizeof(float)));
  ASSERT_FALSE(fp4.encoded);
  EXPECT_EQ(fp4.encoded.error().to_string(), "Shader error: matvec_fp4_e2m1 kernel missing");
}

// Each encoder's missing-pipeline message, checked before anything is encoded.
TEST_F(MatvecDispatch, LinearAttentionEncodersReportTheirMissingKernels) {
  for (auto [kernel, message] : std::vector<std::pair<std::string, std::string>>{
           {"conv1d_step", "conv1d_step kernel missing"},
           {"rms_norm_qk", "rms_norm_qk kernel missing"},
           {"compute_decay_beta", "compute_decay_beta kernel missing"},
           {"gated_delta_net_step", "gated_delta_net_step kernel missing"},
           {"gated_rms_norm", "gated_rms_norm kernel missing"}}) {
    SCOPED_TRACE(kernel);
    ContextParts parts = context(engine_test::source_without_kernel(kernel));
    const auto& ctx = parts.ctx;
    auto cmd = ctx.queue->command_buffer();
    auto enc = cmd->compute_command_encoder();
    Status status;
    if (kernel == "conv1d_step") {
      status = qwen35::encode_conv1d_step(ctx, *enc, ctx.conv_state_buffers[0], ctx.linear_scratch[0],
                                          ctx.buf_conv_out, ctx.buf_conv_out, 8192);
    } else if (kernel == "rms_norm_qk") {
      status = qwen35::encode_rms_norm_qk(ctx, *enc, ctx.buf_conv_out, Operand(ctx.buf_conv_out, 8192), 16, 128,
                                          0.088388346f);
    } else if (kernel == "compute_decay_beta") {
      status = qwen35::encode_compute_decay_beta(ctx, *enc, ctx.linear_scratch[3], ctx.linear_scratch[2],
                                                 ctx.linear_scratch[3], ctx.linear_scratch[2], ctx.buf_g_decay,
                                                 ctx.buf_beta_gate, 32);
    } else if (kernel == "gated_delta_net_step") {
      status = qwen35::encode_gated_delta_net_step(ctx, *enc, ctx.ssm_state_buffers[0], ctx.buf_conv_out,
                                                   Operand(ctx.buf_conv_out, 8192), Operand(ctx.buf_conv_out, 16384),
                                                   ctx.buf_g_decay, ctx.buf_beta_gate, ctx.buf_delta_out, 32, 2, 128);
    } else {
      status = qwen35::encode_gated_rms_norm(ctx, *enc, ctx.buf_delta_out, ctx.linear_scratch[1], ctx.buf_normed,
                                             ctx.linear_scratch[6], 32, 128);
    }
    ASSERT_FALSE(status);
    EXPECT_EQ(status.error().kind(), MoEError::Kind::Shader);
    EXPECT_EQ(status.error().message(), message);
    enc->end_encoding();
    EXPECT_EQ(cmd->dispatch_count(), 0u);
  }
}

TEST_F(MatvecDispatch, SwigluAndAlternative4BitVariantsAgreeWithTheCpu) {
  for (bool with_vec4 : {true, false}) {
    ContextParts parts = with_vec4 ? context() : context(engine_test::source_without_kernel("swiglu_fused_vec4"));
    for (uint32_t dim : {512u, 510u}) {
      SCOPED_TRACE(testing::Message() << "vec4 " << with_vec4 << " dim " << dim);
      const auto gate = random_values(dim, 10);
      const auto up = random_values(dim, 11);
      auto out = *parts.ctx.device->new_buffer(512 * sizeof(float));
      auto cmd = parts.ctx.queue->command_buffer();
      auto enc = cmd->compute_command_encoder();
      ASSERT_TRUE(qwen35::encode_swiglu(parts.ctx, *enc, floats(parts, gate), floats(parts, up), out, dim));
      enc->end_encoding();
      EXPECT_EQ(cmd->dispatch_count(), 1u);
      cmd->commit();
      cmd->wait_until_completed();
      ASSERT_EQ(cmd->status(), metal::CommandBufferStatus::Completed) << cmd->error();
      const auto got = read(out, dim);
      for (uint32_t i = 0; i < dim; ++i) {
        const double g = gate[i];
        EXPECT_NEAR(got[i], g / (1.0 + std::exp(-g)) * up[i], 1e-5) << i;
      }
    }
  }

  // Variants 0 (one thread per row) and 1 (one threadgroup per row) of the 4-bit product.
  ContextParts parts = context();
  const auto x_values = random_values(kIn, 12);
  auto x = floats(parts, x_values);
  const std::vector<double> w = decode_matrix(*weights_, "m_u32");
  const auto op = [&](const char* suffix) { return parts.weights.operand(*weights_, *weights_->find(std::string("m_u32") + suffix)); };
  for (int32_t variant : {-1, 0, 1, 2, 3}) {
    SCOPED_TRACE(variant);
    auto out = *parts.ctx.device->new_buffer(kOut * sizeof(float));
    auto cmd = parts.ctx.queue->command_buffer();
    auto enc = cmd->compute_command_encoder();
    ASSERT_TRUE(qwen35::encode_matvec_offset(parts.ctx, *enc, op(".weight"), op(".scales"), op(".biases"), x, out, kOut,
                                             kIn, 64, variant));
    enc->end_encoding();
    cmd->commit();
    cmd->wait_until_completed();
    ASSERT_EQ(cmd->status(), metal::CommandBufferStatus::Completed) << cmd->error();
    const auto got = read(out, kOut);
    for (uint32_t r = 0; r < kOut; ++r) {
      double want = 0;
      for (uint32_t c = 0; c < kIn; ++c) want += w[std::size_t{r} * kIn + c] * x_values[c];
      EXPECT_NEAR(got[r], want, 1e-4) << r;
    }
  }
}

}  // namespace
}  // namespace varkel
