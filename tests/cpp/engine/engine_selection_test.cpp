#include <gtest/gtest.h>

#include <fmt/format.h>

#include <regex>

#include "cache/cache.h"

#include "engine/engine.h"
#include "engine/qwen35_moe/fused_engine.h"
#include "engine_test_util.h"
#include "error/debug_quote.h"
#include "metal/metal.h"

namespace varkel {
namespace {

using engine_test::has_line_starting;
using engine_test::lines_of;
using qwen35::FusedExp1Full;
using qwen35::FusedExp1Stripped;
using qwen35::FusedExp2Full;
using qwen35::FusedExp2Stripped;

// Directories written once for the whole suite.
class EngineSelection : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    stripped_dir_ = new std::filesystem::path(engine_test::fresh_dir("selection_stripped"));
    test_support::write_test_model(*stripped_dir_, engine_test::bare_stripped_options());
    full_dir_ = new std::filesystem::path(engine_test::fresh_dir("selection_full"));
    test_support::write_test_model(*full_dir_, engine_test::bare_full_options());
  }
  static void TearDownTestSuite() {
    std::filesystem::remove_all(*stripped_dir_);
    std::filesystem::remove_all(*full_dir_);
    delete stripped_dir_;
    delete full_dir_;
  }

  static std::shared_ptr<const Model> load(const std::filesystem::path& dir) {
    testing::internal::CaptureStderr();
    auto model = Model::load_shared(dir.string());
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(model.has_value()) << model.error().to_string();
    return *model;
  }
  static std::shared_ptr<const Model> stripped() { return load(*stripped_dir_); }
  static std::shared_ptr<const Model> full() { return load(*full_dir_); }
  // A stripped model with its configuration patched.
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
  static inline std::filesystem::path* full_dir_ = nullptr;
};

template <class E>
E* as(Result<DynEngine>& engine) {
  return engine ? dynamic_cast<E*>(&engine->engine()) : nullptr;
}

TEST_F(EngineSelection, ModeAndFirstArchitecturePickOneOfFourEngines) {
  auto exp1_stripped = build("Qwen35MoEFusedExp1", stripped(), 0);
  ASSERT_TRUE(exp1_stripped.engine) << exp1_stripped.engine.error().to_string();
  EXPECT_NE(as<FusedExp1Stripped>(exp1_stripped.engine), nullptr);
  auto exp2_stripped = build("Qwen35MoEFusedExp2", stripped(), 0);
  EXPECT_NE(as<FusedExp2Stripped>(exp2_stripped.engine), nullptr);
  auto exp1_full = build("Qwen35MoEFusedExp1", full(), 0);
  EXPECT_NE(as<FusedExp1Full>(exp1_full.engine), nullptr);
  auto exp2_full = build("Qwen35MoEFusedExp2", full(), 0);
  EXPECT_NE(as<FusedExp2Full>(exp2_full.engine), nullptr);

  // k = 0 is the set's default, kept by the engine.
  EXPECT_EQ(as<FusedExp2Stripped>(exp2_stripped.engine)->state().k, 4u);
  EXPECT_EQ(as<FusedExp2Full>(exp2_full.engine)->state().k, 8u);
  auto k2 = build("Qwen35MoEFusedExp2", stripped(), 2);
  EXPECT_EQ(as<FusedExp2Stripped>(k2.engine)->state().k, 2u);

  // The full set's buffers: 30 linear and 10 full layers, a 256-wide router.
  const auto& ctx = as<FusedExp2Full>(exp2_full.engine)->state().ctx;
  EXPECT_EQ(ctx.conv_state_buffers.size(), 30u);
  EXPECT_EQ(ctx.ssm_state_buffers.size(), 30u);
  EXPECT_EQ(ctx.k_cache_buffers.size(), 10u);
  EXPECT_EQ(ctx.v_cache_buffers.size(), 10u);
  EXPECT_EQ(ctx.buf_router_logits->length(), 1024u);
  EXPECT_EQ(ctx.num_layers, 40u);
  EXPECT_EQ(ctx.kv_dim, 512u);
  EXPECT_EQ(ctx.pos, 0u);
  const auto& small = as<FusedExp2Stripped>(exp2_stripped.engine)->state().ctx;
  EXPECT_EQ(small.buf_router_logits->length(), 16u);
  EXPECT_EQ(small.k_cache_buffers.size(), 1u);
  EXPECT_EQ(small.conv_state_buffers.size(), 3u);
}

// Bytes of every buffer an engine owns apart from the weight buffer.
std::size_t engine_bytes(const qwen35::EngineState& state) {
  const auto& c = state.ctx;
  const auto& e = state.experts;
  std::size_t total = 0;
  for (const auto* list : {&c.conv_state_buffers, &c.ssm_state_buffers, &c.linear_scratch, &c.k_cache_buffers,
                           &c.v_cache_buffers, &e.expert_data, &e.expert_out}) {
    for (const auto& buffer : *list) total += buffer->length();
  }
  for (const auto* buffer :
       {&c.buf_conv_out, &c.buf_g_decay, &c.buf_beta_gate, &c.buf_delta_out, &c.buf_normed, &c.buf_reserved_a,
        &c.buf_hidden, &c.buf_router_logits, &c.buf_shared_gate_score, &c.buf_mlp_in, &c.buf_shared_gate,
        &c.buf_shared_up, &c.buf_attn_proj, &c.buf_h_mid, &c.buf_reserved_b, &c.buf_reserved_c, &c.buf_q,
        &c.buf_q_gate, &c.buf_attn_scores, &c.buf_attn_out, &c.buf_attn_normed, &c.buf_q_proj, &c.buf_k, &c.buf_v,
        &e.gate_out, &e.up_out, &e.act, &e.reserved_d, &e.shared_act, &e.shared_out, &e.reserved_e, &e.params}) {
    total += (*buffer)->length();
  }
  return total;
}

TEST_F(EngineSelection, EngineMemoryAndTheZeroCopyWeightBuffer) {
  auto small = build("Qwen35MoEFusedExp2", stripped(), 0);
  auto big = build("Qwen35MoEFusedExp2", full(), 0);
  ASSERT_TRUE(small.engine && big.engine);
  EXPECT_EQ(engine_bytes(as<FusedExp2Stripped>(small.engine)->state()), 38142544u);
  EXPECT_EQ(engine_bytes(as<FusedExp2Full>(big.engine)->state()), 248415808u);

  auto options = engine_test::small_stripped_options();
  options.empty_experts = true;
  auto model = engine_test::write_and_load("selection_zero_copy", options);
  auto engine = build("Qwen35MoEFusedExp1", model, 0);
  ASSERT_TRUE(engine.engine);
  const auto& weights = as<FusedExp1Stripped>(engine.engine)->state().weights;
  EXPECT_EQ(weights.buffer->contents(), static_cast<const void*>(model->weights().data()));
  EXPECT_EQ(weights.buffer->length(), model->weights().len());
  EXPECT_FALSE(weights.buffer->owns_memory());
  EXPECT_EQ(weights.base_ptr, model->weights().data());
  const TensorInfo* norm = model->weights().find("language_model.model.norm.weight");
  ASSERT_NE(norm, nullptr);
  EXPECT_EQ(weights.offset_of(model->weights(), *norm), norm->offset);
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

  // No usable first element: the empty text. Special characters are escaped.
  for (const nlohmann::json& architectures : {nlohmann::json(nullptr), nlohmann::json::array(),
                                              nlohmann::json::array({7, "Qwen3_5MoeForConditionalGeneration"}),
                                              nlohmann::json("Qwen3_5MoeForConditionalGeneration_Stripped")}) {
    auto model = patched("selection_no_arch", {{"architectures", architectures}});
    auto result = build("Qwen35MoEFusedExp2", model, 0);
    ASSERT_FALSE(result.engine);
    EXPECT_EQ(result.engine.error().message(), "Unknown engine: engine_type=\"Qwen35MoEFusedExp2\", arch=\"\"");
    EXPECT_EQ(result.stderr_text, "");
  }
  auto odd = build("Mode\"with\\quote\n", stripped(), 0);
  EXPECT_EQ(odd.engine.error().message(),
            "Unknown engine: engine_type=\"Mode\\\"with\\\\quote\\n\", arch=\"Qwen3_5MoeForConditionalGeneration_Stripped\"");
}

TEST_F(EngineSelection, ValidationAndKFailBeforeAnyDeviceWork) {
  // Stripped name with the full model's sizes.
  auto options = engine_test::bare_stripped_options();
  options.layers = 40;
  options.experts = 256;
  options.experts_per_tok = 8;
  auto model = engine_test::write_and_load("selection_wrong_sizes", options);
  ASSERT_NE(model, nullptr);
  auto wrong = build("Qwen35MoEFusedExp1", model, 0);
  ASSERT_FALSE(wrong.engine);
  EXPECT_EQ(wrong.engine.error().kind(), MoEError::Kind::Config);
  EXPECT_EQ(wrong.engine.error().message(),
            "num_hidden_layers: config=40, const=4; num_experts: config=256, const=4; "
            "num_experts_per_tok: config=8, const=4");
  EXPECT_EQ(wrong.stderr_text, "");

  auto too_many = build("Qwen35MoEFusedExp2", full(), 9);
  ASSERT_FALSE(too_many.engine);
  EXPECT_EQ(too_many.engine.error().kind(), MoEError::Kind::Config);
  EXPECT_EQ(too_many.engine.error().message(), "k (9) must not exceed model's num_experts_per_tok (8)");
  EXPECT_EQ(too_many.stderr_text, "");
  auto eight_of_four = build("Qwen35MoEFusedExp2", stripped(), 8);
  ASSERT_FALSE(eight_of_four.engine);
  EXPECT_EQ(eight_of_four.engine.error().message(), "k (8) must not exceed model's num_experts_per_tok (4)");
  EXPECT_FALSE(has_line_starting(lines_of(eight_of_four.stderr_text), "[metal]"));

  // Failures release the model handle.
  auto handle = stripped();
  std::weak_ptr<const Model> watch = handle;
  auto failed = build("Qwen35MoEFusedExp2", std::move(handle), 5);
  EXPECT_FALSE(failed.engine);
  EXPECT_TRUE(watch.expired());
}

// The fixed diagnostic lines of one construction, in order.
void expect_diagnostics(const std::string& text, std::size_t layers, std::size_t full_layers, std::size_t experts,
                        std::string_view mode, double weight_gb) {
  const auto device = metal::Device::system_default();
  ASSERT_NE(device, nullptr);
  const auto lines = lines_of(text);
  ASSERT_EQ(lines.size(), 10u) << text;
  EXPECT_EQ(lines[0], "[metal] Device: " + device->name());
  EXPECT_EQ(lines[1], "[metal] Unified memory: YES");
  EXPECT_EQ(lines[2], fmt::format("[metal] Max buffer size: {:.0f} MB",
                                  static_cast<double>(device->max_buffer_length()) / (1024.0 * 1024.0)));
  EXPECT_EQ(lines[3], "[metal] Compiling shaders from source...");
  EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(\[metal\] Shader compilation: [0-9]+ ms)"))) << lines[4];
  EXPECT_EQ(lines[5], "[metal] All pipelines created successfully");
  EXPECT_EQ(lines[6], fmt::format("[metal] Allocating {} full-attn KV buffers (8 MB each)", full_layers));
  EXPECT_EQ(lines[7], "[expert-io] Pre-allocated 8x data bufs (1 MB each), 8x scratch (OS page cache for expert data)");
  EXPECT_EQ(lines[8], fmt::format("[gpu-weight] Wrapped {:.2f} GB weight file in Metal buffer", weight_gb));
  EXPECT_EQ(lines[9], fmt::format("[engine] {} layers hidden=2048 experts={} mode={}", layers, experts, mode));
}

TEST_F(EngineSelection, ConstructionPrintsItsDiagnosticLinesInOrder) {
  auto small = build("Qwen35MoEFusedExp2", stripped(), 0);
  ASSERT_TRUE(small.engine);
  expect_diagnostics(small.stderr_text, 4, 1, 4, "FusedExp2", 0.0);
  auto big = build("Qwen35MoEFusedExp1", full(), 3);
  ASSERT_TRUE(big.engine);
  expect_diagnostics(big.stderr_text, 40, 10, 256, "FusedExp1", 0.0);

  // The wrapped size is the weight file's length in decimal gigabytes.
  auto options = engine_test::small_stripped_options();
  options.write_experts = true;
  options.empty_experts = true;
  auto weighted = engine_test::write_and_load("selection_weighted", options);
  auto with_weights = build("Qwen35MoEFusedExp1", weighted, 1);
  ASSERT_TRUE(with_weights.engine);
  expect_diagnostics(with_weights.stderr_text, 4, 1, 4, "FusedExp1",
                     static_cast<double>(weighted->weights().len()) / 1e9);
  EXPECT_GT(weighted->weights().len(), 0u);
}

TEST_F(EngineSelection, OptionalKernelsMayBeMissingButNotTheFast4BitOne) {
  auto without_sdpa = build("Qwen35MoEFusedExp1", stripped(), 0, engine_test::source_without_kernel("attn_sdpa_fused"));
  ASSERT_TRUE(without_sdpa.engine) << without_sdpa.engine.error().to_string();
  const auto& pipelines = as<FusedExp1Stripped>(without_sdpa.engine)->state().ctx.pipelines;
  EXPECT_EQ(pipelines.attn_sdpa_fused, nullptr);
  EXPECT_NE(pipelines.attn_sdpa_block, nullptr);
  EXPECT_TRUE(has_line_starting(lines_of(without_sdpa.stderr_text), "[metal] All pipelines created successfully"));

  auto without_vec4 = build("Qwen35MoEFusedExp1", stripped(), 0, engine_test::source_without_kernel("swiglu_fused_vec4"));
  EXPECT_TRUE(without_vec4.engine);

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

  // Source that does not compile: the compiler's text, debug-quoted.
  const std::string broken = std::string(embedded_shader_source()) + "\nkernel void broken(\n";
  auto compile_error = device->new_library_with_source(broken, metal::CompileOptions{});
  ASSERT_FALSE(compile_error);
  auto not_compiled = build("Qwen35MoEFusedExp1", stripped(), 0, broken);
  ASSERT_FALSE(not_compiled.engine);
  EXPECT_EQ(not_compiled.engine.error().to_string(),
            "Shader error: Shader compilation failed: " + debug_quoted(compile_error.error()));
  EXPECT_FALSE(has_line_starting(lines_of(not_compiled.stderr_text), "[metal] Shader compilation:"));
  EXPECT_EQ(metal::AutoreleasePool::depth(), 0);
}

TEST_F(EngineSelection, TwoEnginesFromOneModelShareOnlyTheModel) {
  auto model = stripped();
  auto first = build("Qwen35MoEFusedExp2", model, 0);
  auto second = build("Qwen35MoEFusedExp1", model, 0);
  ASSERT_TRUE(first.engine && second.engine);
  EXPECT_EQ(model.use_count(), 3);
  const auto& a = as<FusedExp2Stripped>(first.engine)->state();
  const auto& b = as<FusedExp1Stripped>(second.engine)->state();
  EXPECT_EQ(a.model.get(), b.model.get());
  EXPECT_NE(a.ctx.device, b.ctx.device);
  EXPECT_NE(a.ctx.queue, b.ctx.queue);
  EXPECT_NE(a.ctx.library, b.ctx.library);
  EXPECT_NE(a.ctx.pipelines.matvec_bf16, b.ctx.pipelines.matvec_bf16);
  EXPECT_NE(a.ctx.buf_hidden->contents(), b.ctx.buf_hidden->contents());
  EXPECT_NE(a.ctx.ssm_state_buffers[0]->contents(), b.ctx.ssm_state_buffers[0]->contents());
  EXPECT_NE(a.weights.buffer, b.weights.buffer);
  EXPECT_NE(a.experts.expert_data[0]->contents(), b.experts.expert_data[0]->contents());

  // Dropping one leaves the other working.
  first.engine = fail(MoEError::metal("dropped"));
  EXPECT_EQ(model.use_count(), 2);
  auto cache = Cache::create(model->config());
  ASSERT_TRUE(cache);
  cache->pos = 2;
  EXPECT_TRUE(second.engine->engine().upload_cache(*cache));
  Cache back = *cache;
  back.pos = 0;
  EXPECT_TRUE(second.engine->engine().download_cache(back));
  EXPECT_EQ(back.pos, 2u);
  EXPECT_TRUE(second.engine->engine().telemetry().empty());
}

}  // namespace
}  // namespace varkel
