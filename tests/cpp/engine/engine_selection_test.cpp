#include <gtest/gtest.h>

#include <fmt/format.h>

#include <regex>

#include "engine/engine.h"
#include "engine_test_util.h"
#include "metal/metal.h"

namespace varkel {
namespace {

using engine_test::lines_of;

class EngineSelection : public testing::Test {
 protected:
  static std::shared_ptr<const Model> stripped() {
    static const auto model = engine_test::write_and_load("selection_stripped", engine_test::bare_stripped_options());
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
  EXPECT_EQ(eight_of_four.stderr_text.find("[metal]"), std::string::npos);
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

}  // namespace
}  // namespace varkel
