#include <gtest/gtest.h>

#include <fmt/format.h>

#include <regex>

#include "engine/engine.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "engine_test_util.h"
#include "metal/metal.h"

namespace varkel {
namespace {

using engine_test::has_line_starting;
using engine_test::lines_of;
using qwen35::FusedExp1Stripped;

class EngineSelection : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    stripped_dir_ = new std::filesystem::path(engine_test::fresh_dir("selection_stripped"));
    test_support::write_test_model(*stripped_dir_, engine_test::bare_stripped_options());
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(*stripped_dir_); delete stripped_dir_; }

  static std::shared_ptr<const Model> stripped() {
    testing::internal::CaptureStderr();
    auto model = Model::load_shared(stripped_dir_->string());
    testing::internal::GetCapturedStderr();
    return *model;
  }
  static std::shared_ptr<const Model> patched(std::string_view name, nlohmann::json patch) {
    auto options = engine_test::bare_stripped_options();
    options.config_patch = std::move(patch);
    return engine_test::write_and_load(name, options);
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

  static inline std::filesystem::path* stripped_dir_ = nullptr;
};

template <class E>
E* as(Result<DynEngine>& engine) {
  return engine ? dynamic_cast<E*>(&engine->engine()) : nullptr;
}

TEST_F(EngineSelection, UnknownEnginesNameBothTextsQuotedAndStartNoDevice) {
  auto lower = build("qwen35moefusedexp2", stripped(), 0);
  ASSERT_FALSE(lower.engine);
  EXPECT_EQ(lower.engine.error().kind(), MoEError::Kind::Config);
  EXPECT_EQ(lower.engine.error().message(),
            "Unknown engine: engine_type=\"qwen35moefusedexp2\", arch=\"Qwen3_5MoeForConditionalGeneration_Stripped\"");
  EXPECT_EQ(lower.stderr_text, "");

  // Only the first architecture selects, even when validation would accept a later one.
  auto other_first = patched("selection_other_first",
                             {{"architectures", {"Other", "Qwen3_5MoeForConditionalGeneration_Stripped"}}});
  EXPECT_TRUE(!validate_config<StrippedModel>(other_first->config()));
  auto other = build("Qwen35MoEFusedExp2", other_first, 0);
  ASSERT_FALSE(other.engine);
  EXPECT_EQ(other.engine.error().message(), "Unknown engine: engine_type=\"Qwen35MoEFusedExp2\", arch=\"Other\"");

  auto none = build("Qwen35MoEFusedExp2", patched("selection_no_arch", {{"architectures", {7}}}), 0);
  EXPECT_EQ(none.engine.error().message(), "Unknown engine: engine_type=\"Qwen35MoEFusedExp2\", arch=\"\"");
  auto odd = build("Mode\"with\\quote\n", stripped(), 0);
  EXPECT_EQ(odd.engine.error().message(),
            "Unknown engine: engine_type=\"Mode\\\"with\\\\quote\\n\", arch=\"Qwen3_5MoeForConditionalGeneration_Stripped\"");
}

TEST_F(EngineSelection, ValidationAndKFailBeforeAnyDeviceWork) {
  auto options = engine_test::bare_stripped_options();
  options.layers = 40;
  options.experts = 256;
  options.experts_per_tok = 8;
  auto model = engine_test::write_and_load("selection_wrong_sizes", options);
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
  EXPECT_FALSE(has_line_starting(lines_of(eight_of_four.stderr_text), "[metal]"));
}

TEST_F(EngineSelection, ConstructionPrintsItsDiagnosticLinesInOrder) {
  auto small = build("Qwen35MoEFusedExp2", stripped(), 0);
  ASSERT_TRUE(small.engine);
  const auto device = metal::Device::system_default();
  const auto lines = lines_of(small.stderr_text);
  ASSERT_EQ(lines.size(), 10u) << small.stderr_text;
  EXPECT_EQ(lines[0], "[metal] Device: " + device->name());
  EXPECT_EQ(lines[1], "[metal] Unified memory: YES");
  EXPECT_EQ(lines[2], fmt::format("[metal] Max buffer size: {:.0f} MB",
                                  static_cast<double>(device->max_buffer_length()) / (1024.0 * 1024.0)));
  EXPECT_EQ(lines[3], "[metal] Compiling shaders from source...");
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(\[metal\] Shader compilation: [0-9]+ ms)"))) << lines[4];
  EXPECT_EQ(lines[5], "[metal] All pipelines created successfully");
  EXPECT_EQ(lines[6], "[metal] Allocating 1 full-attn KV buffers (8 MB each)");
  EXPECT_EQ(lines[7], "[expert-io] Pre-allocated 8x data bufs (1 MB each), 8x scratch (OS page cache for expert data)");
  EXPECT_EQ(lines[8], "[gpu-weight] Wrapped 0.00 GB weight file in Metal buffer");
  EXPECT_EQ(lines[9], "[engine] 4 layers hidden=2048 experts=4 mode=FusedExp2");
}

TEST_F(EngineSelection, OptionalKernelsMayBeMissingButNotTheFast4BitOne) {
  auto without_sdpa = build("Qwen35MoEFusedExp1", stripped(), 0, engine_test::source_without_kernel("attn_sdpa_fused"));
  ASSERT_TRUE(without_sdpa.engine) << without_sdpa.engine.error().to_string();
  const auto& pipelines = as<FusedExp1Stripped>(without_sdpa.engine)->state().ctx.pipelines;
  EXPECT_EQ(pipelines.attn_sdpa_fused, nullptr);
  EXPECT_NE(pipelines.attn_sdpa_block, nullptr);
  EXPECT_TRUE(has_line_starting(lines_of(without_sdpa.stderr_text), "[metal] All pipelines created successfully"));

  auto without_fast = build("Qwen35MoEFusedExp1", stripped(), 0,
                            engine_test::source_without_kernel("dequant_matvec_4bit_fast"));
  ASSERT_FALSE(without_fast.engine);
  EXPECT_EQ(without_fast.engine.error().to_string(), "Shader error: dequant_matvec_4bit_fast not found");
  EXPECT_FALSE(has_line_starting(lines_of(without_fast.stderr_text), "[metal] All pipelines"));
  EXPECT_FALSE(has_line_starting(lines_of(without_fast.stderr_text), "[metal] Allocating"));

  // A required pipeline fails at once with the library's own reason.
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

}  // namespace
}  // namespace varkel
