// The conversion driver end to end on a synthetic checkpoint: what the weight
// file and the manifest hold, interruption, and the failures.

#include <gtest/gtest.h>

#include <cmath>

#include "common/test_files.h"
#include "dtype/dtype.h"
#include "quantize/decode.h"
#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/qwen35_moe/int4/int4_scheme.h"
#include "quantize/run.h"
#include "quantize/synthetic_checkpoint.h"

namespace varkel {
namespace {

using namespace quantize_test;
using testing_support::capture_stderr;
using testing_support::quietly;
using testing_support::read_file;
using testing_support::write_file;
using testing_support::ScratchDir;

struct Conversion {
  QuantResult<void> result;
  std::string log;
};

Conversion convert(const std::string& source, const std::filesystem::path& out, const QuantScheme& scheme) {
  auto [result, log] = capture_stderr([&] { return run(source, out.string(), scheme); });
  return {std::move(result), std::move(log)};
}

nlohmann::json read_json(const std::filesystem::path& path) { return nlohmann::json::parse(read_file(path)); }

template <class Scheme>
Scheme make_scheme(const std::filesystem::path& dir, bool add_one) {
  return quietly([&] { return Scheme::create(dir, add_one); }).value();
}

// One synthetic checkpoint, converted once with bq4 and once with int4 and the norm shift.
class Converted : public ::testing::Test {
 protected:
  struct Run {
    ScratchDir src, out;
    std::vector<SourceTensor> tensors = make_tensors(CheckpointShape{}, 1);
    Conversion bq4, int4;
  };
  static void SetUpTestSuite() {
    run_ = std::make_unique<Run>();
    const auto& src = run_->src.path();
    write_checkpoint(src, make_config(CheckpointShape{}), checkpoint_specs(CheckpointShape{}, 1));
    run_->bq4 = convert(src.string(), run_->out / "bq4", make_scheme<BQ4Scheme>(src, false));
    run_->int4 = convert(src.string(), run_->out / "int4", make_scheme<Int4Scheme>(src, true));
  }
  static void TearDownTestSuite() { run_.reset(); }
  static inline std::unique_ptr<Run> run_;
};

// The storage type each scheme gives a non-expert source tensor.
DType expected_type(const SourceTensor& t, bool bq4) {
  if (t.name.ends_with(".A_log")) return DType::F32;
  if (t.shape.size() != 2 || !t.name.ends_with(".weight")) return DType::Bf16;
  if (!bq4) return DType::U32;
  if (t.name == "lm_head.weight") return DType::U8;
  const bool attention = t.name.find(".self_attn.") != std::string::npos && t.name.ends_with("_proj.weight");
  return attention || t.name.ends_with(".mlp.gate.weight") ? DType::Bf16 : DType::U32;
}

// Every non-expert tensor decodes to its source within its type's bound (plus
// one for the norms that int4 with the 3.6 layout shifts); experts and vision
// tensors are absent.
void expect_weights_decode(const std::filesystem::path& out, const std::vector<SourceTensor>& tensors, bool bq4,
                           bool add_one) {
  const nlohmann::json manifest = read_json(out / "model_weights.json");
  const nlohmann::json& entries = manifest.at("tensors");
  const std::string file = read_file(out / "model_weights.bin");
  std::size_t expected_parts = 0;
  for (const SourceTensor& t : tensors) {
    SCOPED_TRACE(t.name);
    std::string engine = t.name;
    if (engine.starts_with("lm_head.")) engine = "language_model." + engine;
    if (engine.starts_with("model.language_model.")) engine = "language_model.model." + engine.substr(21);
    const std::string stem = engine.substr(0, engine.size() - 7);  // without ".weight"
    if (t.name.find(".mlp.experts.") != std::string::npos || t.name.starts_with("model.visual.")) {
      EXPECT_FALSE(entries.contains(engine) || entries.contains(stem + ".weight"));
      continue;
    }
    std::vector<float> expected = t.values;
    const std::string& n = t.name;
    if (add_one && (n.ends_with("_layernorm.weight") || n.ends_with(".q_norm.weight") || n.ends_with(".k_norm.weight") ||
                    n == "model.language_model.norm.weight")) {
      for (float& v : expected) v += 1.0f;
    }
    const auto part = [&](const std::string& name, const char* dtype) {
      const nlohmann::json& entry = entries.at(name);
      EXPECT_EQ(entry.at("dtype"), dtype) << name;
      return as_bytes(file).subspan(entry.at("offset").get<std::size_t>(), entry.at("size").get<std::size_t>());
    };
    const auto shape = [&](const std::string& name) { return entries.at(name).at("shape"); };
    const std::size_t rows = t.shape[0], cols = t.shape.size() > 1 ? t.shape[1] : 0;
    const DType type = expected_type(t, bq4);
    if (type == DType::F32 || type == DType::Bf16) {
      const bool f32 = type == DType::F32;
      EXPECT_EQ(shape(engine), nlohmann::json::array({expected.size()}));
      const auto bytes = part(engine, f32 ? "f32" : "bf16");
      ASSERT_EQ(bytes.size(), expected.size() * (f32 ? 4 : 2));
      // f32 exactly; our bf16 rounding may miss the nearest value by one unit in the last place.
      for (std::size_t i = 0; i < expected.size(); ++i) {
        const float v = f32 ? load_le<float>(bytes, i) : bf16_at(bytes, i);
        ASSERT_LE(std::fabs(v - expected[i]), std::fabs(expected[i]) * (f32 ? 0.0f : 1.0f / 128.0f)) << i;
      }
      expected_parts += 1;
    } else if (type == DType::U32) {
      const std::size_t padded = (cols + 63) / 64 * 64;
      EXPECT_EQ(shape(stem + ".weight"), nlohmann::json::array({rows, padded / 8}));
      EXPECT_EQ(shape(stem + ".scales"), nlohmann::json::array({rows, padded / 64}));
      std::vector<float> rows_padded(rows * padded, 0.0f);  // padding columns are encoded from zeros
      for (std::size_t r = 0; r < rows; ++r) std::ranges::copy(std::span(expected).subspan(r * cols, cols), &rows_padded[r * padded]);
      expect_int4_close(decode_u32(part(stem + ".weight", "u32"), part(stem + ".scales", "bf16"),
                                   part(stem + ".biases", "bf16"), rows, padded),
                        rows_padded, stem);
      expected_parts += 3;
    } else {
      // 8-bit symmetric: signed codes times an f32 scale per row, within half a step.
      ASSERT_EQ(type, DType::U8);
      EXPECT_EQ(shape(stem + ".weight"), nlohmann::json::array({rows, cols}));
      EXPECT_FALSE(entries.contains(stem + ".biases"));
      const auto codes = part(stem + ".weight", "u8"), scales = part(stem + ".scales", "f32");
      for (std::size_t r = 0; r < rows; ++r) {
        float amax = 0.0f;
        for (std::size_t c = 0; c < cols; ++c) amax = std::max(amax, std::fabs(expected[r * cols + c]));
        for (std::size_t c = 0; c < cols; ++c) {
          const float v = static_cast<float>(static_cast<int8_t>(codes[r * cols + c])) * load_le<float>(scales, r);
          ASSERT_LE(std::fabs(v - expected[r * cols + c]), 0.5f * amax / 127.0f + 1e-6f) << r << "," << c;
        }
      }
      expected_parts += 2;
    }
  }
  EXPECT_EQ(manifest.at("num_tensors"), expected_parts);
  EXPECT_EQ(entries.size(), expected_parts);
}

TEST_F(Converted, WeightsDecodeToTheSourceUnderBothSchemes) {
  ASSERT_TRUE(run_->bq4.result) << run_->bq4.result.error();
  ASSERT_TRUE(run_->int4.result) << run_->int4.result.error();
  expect_weights_decode(run_->out / "bq4", run_->tensors, true, false);
  expect_weights_decode(run_->out / "int4", run_->tensors, false, true);
}

TEST_F(Converted, ManifestLayoutAlignmentAndConfig) {
  ASSERT_TRUE(run_->bq4.result) << run_->bq4.result.error();
  const std::filesystem::path out = run_->out / "bq4";
  const std::string text = read_file(out / "model_weights.json");
  const nlohmann::json manifest = nlohmann::json::parse(text);
  EXPECT_NE(text.back(), '\n');
  EXPECT_TRUE(text.starts_with("{\n  \"config\": {\n    \"full_attention_interval\": 4,\n")) << text.substr(0, 80);
  EXPECT_EQ(manifest.at("model"), run_->src.path().string());
  const nlohmann::json& config = manifest.at("config");
  // num_hidden_layers 4 with one MTP layer leaves three main layers.
  EXPECT_EQ(config.at("layer_types"), nlohmann::json({"linear_attention", "linear_attention", "linear_attention"}));
  EXPECT_EQ(config.at("mtp_num_hidden_layers"), 1);
  EXPECT_EQ(config.at("rope_theta").get<double>(), 1e7);
  // Reals in their shortest form: 1e-6, not 1e-06.
  EXPECT_NE(text.find("\"rms_norm_eps\": 1e-6,\n"), std::string::npos) << text.substr(0, 1200);

  // Names in ascending byte order in the text; parts by offset: every source
  // tensor starts on 64 bytes, its parts follow back to back, gaps are zero,
  // and the file ends with the last part.
  std::size_t last = 0;
  std::vector<std::tuple<uint64_t, uint64_t, std::string>> parts;  // offset, size, name
  for (const auto& [name, entry] : manifest.at("tensors").items()) {
    const std::size_t at = text.find("\n    \"" + name + "\": {");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_GT(at, last) << name;
    last = at;
    parts.emplace_back(entry.at("offset").get<uint64_t>(), entry.at("size").get<uint64_t>(), name);
  }
  std::ranges::sort(parts);
  const std::string file = read_file(out / "model_weights.bin");
  uint64_t end = 0;
  for (const auto& [offset, size, name] : parts) {
    if (name.ends_with(".scales") || name.ends_with(".biases")) {
      EXPECT_EQ(offset, end) << name;
    } else {
      EXPECT_EQ(offset % 64, 0u) << name;
      EXPECT_LT(offset - end, 64u) << name;
      EXPECT_EQ(file.substr(end, offset - end), std::string(offset - end, '\0')) << name;
    }
    end = offset + size;
  }
  EXPECT_EQ(file.size(), end);

  EXPECT_EQ(read_file(out / "config.json"), read_file(run_->src / "config.json"));
}

// A one-shard checkpoint of the given tensors with the default config.
void write_small(const std::filesystem::path& dir, const std::vector<TensorSpec>& tensors,
                 nlohmann::json config = make_config(CheckpointShape{})) {
  write_checkpoint(dir, config, tensors, [](const std::string&) { return "model.safetensors"; });
}

TEST(RunDriver, InterruptIsPolledOncePerShard) {
  ScratchDir src, out;
  const CheckpointShape shape;
  write_checkpoint(src.path(), make_config(shape), checkpoint_specs(shape, 2));
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);

  // Stops at poll `stop_at` (0: never); returns the result, the log and the number of polls.
  const auto converted = [&](const char* name, int stop_at) {
    int polls = 0;
    auto [result, log] = capture_stderr([&] {
      return run(src.path().string(), (out / name).string(), scheme, [&]() -> std::optional<std::string> {
        return ++polls == stop_at ? std::optional<std::string>("KeyboardInterrupt") : std::nullopt;
      });
    });
    return std::tuple{std::move(result), std::move(log), polls};
  };
  const auto [finished, _, polls] = converted("a", 0);
  ASSERT_TRUE(finished) << finished.error();
  EXPECT_EQ(polls, 2);

  const auto [stopped, log, stopped_polls] = converted("b", 2);
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error(), "interrupted: KeyboardInterrupt");
  EXPECT_NE(log.find(std::string("Caching header: ") + kShard1), std::string::npos);
  EXPECT_EQ(log.find(std::string("Caching header: ") + kShard2), std::string::npos);
  // The first shard's tensors stay written; there is no manifest yet.
  EXPECT_GT(std::filesystem::file_size(out / "b" / "model_weights.bin"), 0u);
  EXPECT_FALSE(std::filesystem::exists(out / "b" / "model_weights.json"));
}

TEST(RunDriver, EmptyIndexAndPaddedTensors) {
  ScratchDir src, out;
  write_small(src.path(), {});
  write_file(src / "model.safetensors.index.json", R"({"metadata": {}})");
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);
  const Conversion empty = convert(src.path().string(), out / "empty", scheme);
  ASSERT_TRUE(empty.result) << empty.result.error();
  EXPECT_TRUE(empty.log.starts_with("  Total tensors: 0\n")) << empty.log;
  EXPECT_NE(empty.log.find("  packed_experts    : 0 layers\n"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(out / "empty" / "model_weights.bin"), 0u);
  EXPECT_EQ(read_json(out / "empty" / "model_weights.json").at("tensors"), nlohmann::json::object());
  EXPECT_TRUE(std::filesystem::is_empty(out / "empty" / "packed_experts"));

  // [3, 100] as 4-bit: 128 columns, the extra ones from zeros; a bf16 [4, 8]
  // follows at the next multiple of 64 after the third part.
  ScratchDir padded_src;
  write_small(padded_src.path(), {{"model.language_model.layers.0.linear_attn.in_proj_z.weight", {3, 100}, -2, 2},
                                   {"model.language_model.layers.0.linear_attn.dt_bias", {4, 8}}});
  const Conversion padded = convert(padded_src.path().string(), out / "padded", scheme);
  ASSERT_TRUE(padded.result) << padded.result.error();
  const nlohmann::json tensors = read_json(out / "padded" / "model_weights.json").at("tensors");
  const std::string base = "language_model.model.layers.0.linear_attn.in_proj_z";
  EXPECT_EQ(tensors.at(base + ".weight"), nlohmann::json({{"dtype", "u32"}, {"offset", 0}, {"shape", {3, 16}}, {"size", 192}}));
  EXPECT_EQ(tensors.at(base + ".scales"), nlohmann::json({{"dtype", "bf16"}, {"offset", 192}, {"shape", {3, 2}}, {"size", 12}}));
  EXPECT_EQ(tensors.at(base + ".biases"), nlohmann::json({{"dtype", "bf16"}, {"offset", 204}, {"shape", {3, 2}}, {"size", 12}}));
  EXPECT_EQ(tensors.at("language_model.model.layers.0.linear_attn.dt_bias"),
            nlohmann::json({{"dtype", "bf16"}, {"offset", 256}, {"shape", {32}}, {"size", 64}}));
  const std::string file = read_file(out / "padded" / "model_weights.bin");
  EXPECT_EQ(file.size(), 320u);
  EXPECT_EQ(file.substr(216, 40), std::string(40, '\0'));
}

TEST(RunDriver, Failures) {
  ScratchDir src, out;
  const TensorSpec norm{"model.language_model.norm.weight", {64}, 0, 1};
  write_small(src.path(), {norm});
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);
  const auto fails_with = [&](const std::filesystem::path& dir, const std::string& name) {
    const Conversion c = convert(dir.string(), out / name, scheme);
    EXPECT_FALSE(c.result) << name;
    return c.result ? std::string() : c.result.error();
  };

  std::filesystem::remove(src / "model.safetensors.index.json");
  EXPECT_EQ(fails_with(src.path(), "no_index"), "file not found: " + (src / "model.safetensors.index.json").string());
  write_file(src / "model.safetensors.index.json", "{\"weight_map\": ");
  EXPECT_NE(fails_with(src.path(), "bad_index").find("line 1"), std::string::npos);

  // A shard name that leaves the checkpoint is refused before anything is read.
  write_small(src.path(), {norm});
  write_file(src / "model.safetensors.index.json", R"({"weight_map": {"model.language_model.norm.weight": "../model.safetensors"}})");
  EXPECT_NE(fails_with(src.path(), "escape").find("\"../model.safetensors\""), std::string::npos);

  // full_attention_interval 0 fails before the weight file exists.
  write_small(src.path(), {norm}, {{"num_hidden_layers", 2}, {"full_attention_interval", 0}});
  const BQ4Scheme zero = make_scheme<BQ4Scheme>(src.path(), false);
  auto interval = quietly([&] { return run(src.path().string(), (out / "zero").string(), zero); });
  ASSERT_FALSE(interval);
  EXPECT_EQ(interval.error(), "attempt to calculate the remainder with a divisor of zero");
  EXPECT_FALSE(std::filesystem::exists(out / "zero" / "model_weights.bin"));

  // A tensor with no dimensions, and one whose header promises more than its data.
  write_small(src.path(), {{"model.language_model.layers.0.linear_attn.dt_bias", {}}});
  const std::string scalar = fails_with(src.path(), "scalar");
  EXPECT_NE(scalar.find("model.language_model.layers.0.linear_attn.dt_bias"), std::string::npos) << scalar;
  write_small(src.path(), {{"model.language_model.layers.0.linear_attn.in_proj_z.weight", {2, 64}}});
  {
    std::string bytes = read_file(src / "model.safetensors");
    const auto at = bytes.find("[2,64]");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 6, "[3,64]");
    write_file(src / "model.safetensors", bytes);
  }
  const std::string short_data = fails_with(src.path(), "short");
  EXPECT_NE(short_data.find("linear_attn.in_proj_z.weight"), std::string::npos) << short_data;

  // The output directory cannot be made under a file.
  write_file(out / "file", "x");
  auto blocked = quietly([&] { return run(src.path().string(), (out / "file" / "sub").string(), scheme); });
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error(), "Not a directory (os error 20)");
}

}  // namespace
}  // namespace varkel
