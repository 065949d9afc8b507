#include <gtest/gtest.h>

#include <fmt/format.h>

#include <fstream>
#include <functional>
#include <regex>

#include <nlohmann/json.hpp>

#include "engine/engine.h"
#include "engine/qwen35_moe/forward_core.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "engine_test_util.h"
#include "metal/metal.h"

namespace varkel {
namespace {

class EngineSelection : public testing::Test {
 protected:
  static std::shared_ptr<const Model> stripped() {
    static const auto model = engine_test::write_and_load(engine_test::bare_stripped_options());
    return model;
  }
  struct Built {
    Result<DynEngine> engine;
    std::string stderr_text;
  };
  static Built build(std::string_view mode, std::shared_ptr<const Model> model, std::size_t k,
                     std::optional<std::string> source = std::nullopt) {
    testing::internal::CaptureStderr();
    Result<DynEngine> engine = source ? DynEngine::create(mode, std::move(model), k, *source)
                                      : DynEngine::create(mode, std::move(model), k);
    return Built{std::move(engine), testing::internal::GetCapturedStderr()};
  }
};

TEST_F(EngineSelection, ValidationAndKFailBeforeAnyDeviceWork) {
  auto options = engine_test::bare_stripped_options();
  options.layers = 40;
  options.experts = 256;
  options.experts_per_tok = 8;
  auto model = engine_test::write_and_load(options);
  auto wrong = build("Qwen35MoEFusedExp1", model, 0);
  ASSERT_FALSE(wrong.engine);
  EXPECT_EQ(wrong.engine.error().kind(), MoEError::Kind::Config);
  EXPECT_EQ(wrong.engine.error().message(),
            "num_hidden_layers: config=40, const=4; num_experts: config=256, const=4; "
            "num_experts_per_tok: config=8, const=4");
  EXPECT_EQ(wrong.stderr_text, "");

  auto eight_of_four = build("Qwen35MoEFusedExp2", stripped(), 8);
  ASSERT_FALSE(eight_of_four.engine);
  EXPECT_EQ(eight_of_four.engine.error().message(), "k (8) must not exceed model's num_experts_per_tok (4)");
  EXPECT_EQ(eight_of_four.engine.error().kind(), MoEError::Kind::Config);
  EXPECT_EQ(eight_of_four.stderr_text.find("[metal]"), std::string::npos);
}

TEST_F(EngineSelection, ConstructionPrintsItsDiagnosticLinesInOrder) {
  auto small = build("Qwen35MoEFusedExp2", stripped(), 0);
  ASSERT_TRUE(small.engine);
  const auto device = metal::Device::system_default();
  EXPECT_EQ(std::regex_replace(small.stderr_text, std::regex("compilation: [0-9]+ ms"), "compilation: N ms"),
            fmt::format("[metal] Device: {}\n[metal] Unified memory: YES\n[metal] Max buffer size: {:.0f} MB\n"
                        "[metal] Compiling shaders from source...\n[metal] Shader compilation: N ms\n"
                        "[metal] All pipelines created successfully\n"
                        "[metal] Allocating 1 full-attn KV buffers (8 MB each)\n"
                        "[expert-io] Pre-allocated 8x data bufs (1 MB each), 8x scratch (OS page cache for expert data)\n"
                        "[gpu-weight] Wrapped 0.00 GB weight file in Metal buffer\n"
                        "[engine] 4 layers hidden=2048 experts=4 mode=FusedExp2\n",
                        device->name(), static_cast<double>(device->max_buffer_length()) / (1024.0 * 1024.0)));
}

TEST_F(EngineSelection, MissingRequiredKernelsFailConstruction) {
  auto without_fast = build("Qwen35MoEFusedExp1", stripped(), 0,
                            engine_test::source_without_kernel("dequant_matvec_4bit_fast"));
  ASSERT_FALSE(without_fast.engine);
  EXPECT_EQ(without_fast.engine.error().to_string(), "Shader error: dequant_matvec_4bit_fast not found");
  EXPECT_EQ(without_fast.stderr_text.find("[metal] All pipelines"), std::string::npos);

  const std::string source = engine_test::source_without_kernel("matvec_bf16");
  auto without_bf16 = build("Qwen35MoEFusedExp1", stripped(), 0, source);
  ASSERT_FALSE(without_bf16.engine);
  auto device = metal::Device::system_default();
  auto library = device->new_library_with_source(source, metal::CompileOptions{});
  ASSERT_TRUE(library);
  auto missing = (*library)->new_function("matvec_bf16");
  ASSERT_FALSE(missing);
  EXPECT_EQ(without_bf16.engine.error().to_string(),
            "Shader error: Shader function 'matvec_bf16' not found: " + missing.error());

  EXPECT_EQ(metal::AutoreleasePool::depth(), 0);
}

// StrippedModel with a 512-row lm head, so that a complete weight file stays small.
struct SmallVocabStripped : StrippedModel {
  static constexpr std::size_t kVocabSize = 512;
};

// Each row corrupts one manifest entry of a complete model; construction must
// refuse it before any device work, naming the tensor. Absent tensors keep
// the stages' warnings and fallbacks, so those rows still build.
TEST(BoundTensors, ManifestsThatDoNotFitTheKernelsAreRefusedNamingTheTensor) {
  auto options = engine_test::bare_stripped_options();
  options.write_weights = true;
  options.vocab_rows = SmallVocabStripped::kVocabSize;
  const testing_support::ScratchDir dir;
  test_support::write_test_model(dir.path(), options);
  const auto manifest_path = dir / "model_weights.json";
  const nlohmann::json original = nlohmann::json::parse(std::ifstream(manifest_path));
  const nlohmann::json& entries = original.at("tensors");
  auto offset = [&](const std::string& name) { return entries.at(name).at("offset").get<uint64_t>(); };

  const std::string l0 = "language_model.model.layers.0.", l1 = "language_model.model.layers.1.";
  const std::string l3 = "language_model.model.layers.3.", lm_head = "language_model.lm_head.";
  const std::string router = l0 + "mlp.gate.weight", shared_gate = l0 + "mlp.shared_expert.gate_proj.weight";
  using Tensors = nlohmann::json;
  struct Case {
    std::string what;
    std::function<void(Tensors&)> corrupt;
    std::string error;  // empty: the engine builds
  };
  const Case cases[] = {
      {"unchanged", [](Tensors&) {}, ""},
      {"missing biases", [&](Tensors& t) { t.erase(l0 + "linear_attn.in_proj_z.biases"); }, ""},
      {"missing lm head", [&](Tensors& t) { t.erase(lm_head + "weight"); }, ""},
      {"bf16 matrix in two dimensions", [&](Tensors& t) { t[l3 + "self_attn.k_proj.weight"]["shape"] = {512, 2048}; },
       ""},
      {"bf16 projection declared u32", [&](Tensors& t) { t[l3 + "self_attn.q_proj.weight"]["dtype"] = "u32"; },
       "tensor '" + l3 + "self_attn.q_proj.weight': shape [16777216] where the engine reads [8192, 256]"},
      {"lm head of size 0", [&](Tensors& t) { t[lm_head + "weight"]["size"] = 0; },
       "tensor '" + lm_head + "weight': 0 bytes where u8 [512, 2048] needs 1048576"},
      {"router moved into its neighbour", [&](Tensors& t) { t[router]["offset"] = offset(router) + 64; },
       fmt::format("tensors '{}' (bytes {}..{}) and '{}' (bytes {}..{}) overlap", router, offset(router) + 64,
                   offset(router) + 64 + 4 * 2048 * 2, shared_gate, offset(shared_gate),
                   offset(shared_gate) + 512 * 2048 / 2)},
      {"unsupported mat-vec dtype", [&](Tensors& t) { t[lm_head + "weight"]["dtype"] = "f32"; },
       "tensor '" + lm_head + "weight': dtype \"f32\" where the engine reads bf16, u32, u8, fp4_e2m1 or fp8_e4m3"},
      {"A_log as bf16",
       [&](Tensors& t) {
         t[l0 + "linear_attn.A_log"]["dtype"] = "bf16";
         t[l0 + "linear_attn.A_log"]["size"] = 64;
       },
       "tensor '" + l0 + "linear_attn.A_log': dtype \"bf16\" where the engine reads f32"},
      {"scales of another group width", [&](Tensors& t) { t[l0 + "linear_attn.in_proj_z.scales"]["shape"] = {4096, 16}; },
       "tensor '" + l0 + "linear_attn.in_proj_z.scales': shape [4096, 16] where the engine reads [4096, 32]"},
      {"lm head scales a row short",
       [&](Tensors& t) {
         t[lm_head + "scales"]["shape"] = {511};
         t[lm_head + "scales"]["size"] = 511 * 4;
       },
       "tensor '" + lm_head + "scales': shape [511] where the engine reads [512]"},
      {"norm weight larger than its shape", [&](Tensors& t) { t[l1 + "input_layernorm.weight"]["size"] = 4098; },
       "tensor '" + l1 + "input_layernorm.weight': 4098 bytes where bf16 [2048] needs 4096"},
      {"misaligned norm weight",
       [&](Tensors& t) { t[l3 + "self_attn.q_norm.weight"]["offset"] = offset(l3 + "self_attn.q_norm.weight") + 1; },
       fmt::format("tensor '{}self_attn.q_norm.weight': offset {} is not a multiple of its 2-byte elements", l3,
                   offset(l3 + "self_attn.q_norm.weight") + 1)},
      {"embedding rows beyond 64 bits",
       [&](Tensors& t) { t["language_model.model.embed_tokens.weight"]["shape"] = {uint64_t{1} << 60, 256}; },
       "tensor 'language_model.model.embed_tokens.weight': shape [1152921504606846976, 256] is too large to be "
       "stored"},
      {"embedding biases as f32",
       [&](Tensors& t) { t["language_model.model.embed_tokens.biases"]["dtype"] = "f32"; },
       "tensor 'language_model.model.embed_tokens.biases': dtype \"f32\" where the engine reads bf16"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    nlohmann::json manifest = original;
    c.corrupt(manifest.at("tensors"));
    std::ofstream(manifest_path, std::ios::trunc) << manifest.dump(2);
    testing::internal::CaptureStderr();
    auto model = Model::load_shared(dir.path().string());
    ASSERT_TRUE(model) << model.error().to_string();
    auto engine = qwen35::FusedEngine<SmallVocabStripped, qwen35::AttentionMode::FusedExp2>::create(*model, 0);
    const std::string stderr_text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(engine ? std::string() : engine.error().to_string(), c.error.empty() ? "" : "Config error: " + c.error);
    if (!c.error.empty()) {
      EXPECT_EQ(stderr_text.find("[metal]"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace varkel
