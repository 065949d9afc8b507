// The conversion driver end to end on a synthetic checkpoint: what the weight
// file, the manifest and the expert files hold, the progress lines, and the
// failures.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <cctype>
#include <sstream>

#include <fmt/format.h>

#include "model/model.h"
#include "model/scratch_dir.h"
#include "quantize/conversion_fixture.h"
#include "quantize/decode.h"
#include "quantize/qwen35_moe/bq4/bq4_scheme.h"
#include "quantize/qwen35_moe/common/expert_packing.h"
#include "quantize/qwen35_moe/int4/int4_scheme.h"
#include "quantize/run.h"

namespace varkel {
namespace {

using namespace quantize_test;
using testing_support::ScratchDir;

std::span<const uint8_t> as_bytes(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

template <class Scheme>
Scheme make_scheme(const std::filesystem::path& dir, bool add_one) {
  ::testing::internal::CaptureStderr();
  auto scheme = Scheme::create(dir, add_one);
  ::testing::internal::GetCapturedStderr();
  if (!scheme) throw std::runtime_error(scheme.error());
  return std::move(*scheme);
}

class Converted : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    src_ = new ScratchDir;
    out_ = new ScratchDir;
    tensors_ = new std::vector<SourceTensor>(make_tensors(CheckpointShape{}, 1));
    write_checkpoint(src_->path(), make_config(CheckpointShape{}), *tensors_);
    bq4_ = new Conversion(convert(src_->path().string(), out_->path() / "bq4",
                                  make_scheme<BQ4Scheme>(src_->path(), false)));
    int4_ = new Conversion(convert(src_->path().string(), out_->path() / "int4",
                                   make_scheme<Int4Scheme>(src_->path(), true)));
  }
  static void TearDownTestSuite() {
    delete bq4_;
    delete int4_;
    delete tensors_;
    delete out_;
    delete src_;
  }

  static ScratchDir* src_;
  static ScratchDir* out_;
  static std::vector<SourceTensor>* tensors_;
  static Conversion* bq4_;
  static Conversion* int4_;
};

ScratchDir* Converted::src_ = nullptr;
ScratchDir* Converted::out_ = nullptr;
std::vector<SourceTensor>* Converted::tensors_ = nullptr;
Conversion* Converted::bq4_ = nullptr;
Conversion* Converted::int4_ = nullptr;

// Decodes `base` (+ ".weight"/".scales"/".biases" for the grouped types) and
// compares it with the source values within the type's error bound.
void expect_tensor(const nlohmann::json& manifest, std::span<const uint8_t> file, const std::string& base,
                   std::span<const float> expected, std::size_t rows, std::size_t cols, DType type) {
  const nlohmann::json& tensors = manifest.at("tensors");
  const auto part = [&](const std::string& name, const char* dtype) {
    const nlohmann::json& entry = tensors.at(name);
    EXPECT_EQ(entry.at("dtype"), dtype) << name;
    return file.subspan(entry.at("offset").get<std::size_t>(), entry.at("size").get<std::size_t>());
  };
  switch (type) {
    case DType::F32: {
      EXPECT_EQ(tensors.at(base).at("shape"), nlohmann::json::array({expected.size()}));
      const auto decoded = decode_f32(part(base, "f32"));
      EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), expected.begin(), expected.end())) << base;
      break;
    }
    case DType::Bf16: {
      EXPECT_EQ(tensors.at(base).at("shape"), nlohmann::json::array({expected.size()}));
      const auto decoded = decode_bf16(part(base, "bf16"));
      ASSERT_EQ(decoded.size(), expected.size()) << base;
      for (std::size_t i = 0; i < decoded.size(); ++i) {
        // Our bf16 rounding may miss the nearest value by up to one unit in the last place.
        ASSERT_LE(std::fabs(decoded[i] - expected[i]), std::fabs(expected[i]) / 128.0f) << base << " " << i;
      }
      break;
    }
    case DType::U32: {
      const std::size_t padded = (cols + 63) / 64 * 64;
      EXPECT_EQ(tensors.at(base + ".weight").at("shape"), nlohmann::json::array({rows, padded / 8})) << base;
      EXPECT_EQ(tensors.at(base + ".scales").at("shape"), nlohmann::json::array({rows, padded / 64})) << base;
      const auto decoded = decode_u32(part(base + ".weight", "u32"), part(base + ".scales", "bf16"),
                                      part(base + ".biases", "bf16"), rows, padded);
      for (std::size_t r = 0; r < rows; ++r) {
        std::vector<float> row(expected.begin() + r * cols, expected.begin() + (r + 1) * cols);
        row.resize(padded, 0.0f);  // padding columns are encoded from zeros
        for (std::size_t c = 0; c < padded; ++c) {
          const float bound = int4_bound(std::span<const float>(row).subspan(c / 64 * 64, 64));
          ASSERT_LE(std::fabs(decoded[r * padded + c] - row[c]), bound) << base << " " << r << "," << c;
        }
      }
      break;
    }
    case DType::U8: {
      EXPECT_EQ(tensors.at(base + ".weight").at("shape"), nlohmann::json::array({rows, cols}));
      EXPECT_FALSE(tensors.contains(base + ".biases"));
      const auto decoded = decode_u8(part(base + ".weight", "u8"), part(base + ".scales", "f32"), rows, cols);
      for (std::size_t r = 0; r < rows; ++r) {
        const auto row = expected.subspan(r * cols, cols);
        for (std::size_t c = 0; c < cols; ++c) {
          ASSERT_LE(std::fabs(decoded[r * cols + c] - row[c]), int8_bound(row)) << base << " " << r << "," << c;
        }
      }
      break;
    }
    default: FAIL() << "unexpected type for " << base;
  }
}

void expect_weights_decode(const std::filesystem::path& out, const std::vector<SourceTensor>& tensors, bool bq4,
                           bool add_one) {
  const nlohmann::json manifest = read_json(out / "model_weights.json");
  const std::string file = testing_support::read_file(out / "model_weights.bin");
  std::size_t expected_parts = 0;
  for (const SourceTensor& t : tensors) {
    const std::string engine = engine_name(t.name);
    if (is_expert_or_vision(t.name)) {
      EXPECT_FALSE(manifest.at("tensors").contains(engine)) << engine;
      EXPECT_FALSE(manifest.at("tensors").contains(engine.substr(0, engine.size() - 7) + ".weight")) << engine;
      continue;
    }
    const DType type = expected_type(t, bq4);
    std::vector<float> values = t.values;
    if (add_one && shifted_norm(t.name)) {
      for (float& v : values) v += 1.0f;
    }
    const bool grouped = type == DType::U32 || type == DType::U8;
    const std::string base = grouped ? engine.substr(0, engine.size() - 7) : engine;
    SCOPED_TRACE(t.name);
    expect_tensor(manifest, as_bytes(file), base, values, t.shape[0], t.shape.size() > 1 ? t.shape[1] : 0, type);
    expected_parts += type == DType::U32 ? 3 : type == DType::U8 ? 2 : 1;
  }
  EXPECT_EQ(manifest.at("num_tensors"), expected_parts);
  EXPECT_EQ(manifest.at("tensors").size(), expected_parts);
}

TEST_F(Converted, WeightsDecodeToTheSourceUnderBothSchemes) {
  ASSERT_TRUE(bq4_->result) << bq4_->result.error();
  ASSERT_TRUE(int4_->result) << int4_->result.error();
  {
    SCOPED_TRACE("bq4");
    expect_weights_decode(out_->path() / "bq4", *tensors_, true, false);
  }
  {
    SCOPED_TRACE("int4 with 3.6 norms");
    expect_weights_decode(out_->path() / "int4", *tensors_, false, true);
  }
}

TEST_F(Converted, NormShiftTouchesNormWeightsOnly) {
  ASSERT_TRUE(int4_->result && bq4_->result);
  const nlohmann::json shifted = read_json(out_->path() / "int4" / "model_weights.json").at("tensors");
  const nlohmann::json plain = read_json(out_->path() / "bq4" / "model_weights.json").at("tensors");
  const std::string shifted_file = testing_support::read_file(out_->path() / "int4" / "model_weights.bin");
  const std::string plain_file = testing_support::read_file(out_->path() / "bq4" / "model_weights.bin");
  const auto values = [](const nlohmann::json& tensors, const std::string& file, const std::string& name) {
    const nlohmann::json& entry = tensors.at(name);
    return decode_bf16(as_bytes(file).subspan(entry.at("offset").get<std::size_t>(), entry.at("size").get<std::size_t>()));
  };
  std::size_t shifted_count = 0, kept_count = 0;
  for (const SourceTensor& t : *tensors_) {
    if (t.shape.size() != 1 || t.name.ends_with("A_log")) continue;
    const std::string engine = engine_name(t.name);
    const auto a = values(shifted, shifted_file, engine), b = values(plain, plain_file, engine);
    ASSERT_EQ(a.size(), b.size());
    const bool norm = shifted_norm(t.name);
    (norm ? shifted_count : kept_count) += 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
      // Norm values lie in [-0.1, 0.1): adding one moves them by about 1.
      if (norm) {
        ASSERT_NEAR(a[i] - b[i], 1.0f, 0.01f) << engine;
      } else {
        ASSERT_EQ(a[i], b[i]) << engine;
      }
    }
  }
  // model norm, 4x2 layer norms, q/k norms of layer 3 and of the MTP layer, 2 MTP layer norms.
  EXPECT_EQ(shifted_count, 1u + 8 + 4 + 2);
  // Gated linear-attention norms, dt_bias, mtp.norm and the two pre_fc norms are left alone.
  EXPECT_EQ(kept_count, 3u + 3 + 3);
}

TEST_F(Converted, ManifestLayoutAlignmentAndConfig) {
  ASSERT_TRUE(bq4_->result) << bq4_->result.error();
  const std::filesystem::path out = out_->path() / "bq4";
  const std::string text = testing_support::read_file(out / "model_weights.json");
  const nlohmann::json manifest = nlohmann::json::parse(text);
  EXPECT_NE(text.back(), '\n');
  EXPECT_TRUE(text.starts_with("{\n  \"config\": {\n    \"full_attention_interval\": 4,\n")) << text.substr(0, 80);
  EXPECT_EQ(manifest.at("model"), src_->path().string());
  const nlohmann::json& config = manifest.at("config");
  // num_hidden_layers 4 with one MTP layer leaves three main layers.
  EXPECT_EQ(config.at("layer_types"), nlohmann::json({"linear_attention", "linear_attention", "linear_attention"}));
  EXPECT_EQ(config.at("hidden_size"), 64);
  EXPECT_EQ(config.at("num_experts"), 4);
  EXPECT_EQ(config.at("mtp_num_hidden_layers"), 1);
  EXPECT_EQ(config.at("rope_theta").get<double>(), 1e7);
  // Reals in their shortest form: 1e-6, not 1e-06.
  EXPECT_NE(text.find("\"rms_norm_eps\": 1e-6,\n"), std::string::npos) << text.substr(0, 1200);

  // Names appear in ascending byte order in the text.
  std::vector<std::string> names;
  for (const auto& [name, entry] : manifest.at("tensors").items()) names.push_back(name);
  std::size_t last = 0;
  for (const std::string& name : names) {
    const std::size_t at = text.find("\n    \"" + name + "\": {");
    ASSERT_NE(at, std::string::npos) << name;
    EXPECT_GT(at, last) << name;
    last = at;
  }

  // Parts by offset: every source tensor starts on 64 bytes, its parts follow
  // back to back, gaps are zero, and the file ends with the last part.
  struct Part {
    uint64_t offset, size;
    std::string name;
  };
  std::vector<Part> parts;
  for (const auto& [name, entry] : manifest.at("tensors").items()) {
    parts.push_back({entry.at("offset").get<uint64_t>(), entry.at("size").get<uint64_t>(), name});
  }
  std::ranges::sort(parts, {}, &Part::offset);
  const std::string file = testing_support::read_file(out / "model_weights.bin");
  uint64_t end = 0;
  for (const Part& part : parts) {
    const bool continues = part.name.ends_with(".scales") || part.name.ends_with(".biases");
    if (continues) {
      EXPECT_EQ(part.offset, end) << part.name;
    } else {
      EXPECT_EQ(part.offset % 64, 0u) << part.name;
      EXPECT_LT(part.offset - end, 64u) << part.name;
      for (uint64_t i = end; i < part.offset; ++i) ASSERT_EQ(file[i], 0) << part.name;
    }
    end = part.offset + part.size;
  }
  EXPECT_EQ(file.size(), end);

  // A 32-column matrix is padded to one group of 64.
  const nlohmann::json& out_proj = manifest.at("tensors").at("language_model.model.layers.0.linear_attn.out_proj.weight");
  EXPECT_EQ(out_proj.at("shape"), nlohmann::json({64, 8}));
  EXPECT_EQ(out_proj.at("size"), 64 * 8 * 4);
  // The convolution weight [64, 1, 4] is stored flat, in its original order.
  const nlohmann::json& conv = manifest.at("tensors").at("language_model.model.layers.0.linear_attn.conv1d.weight");
  EXPECT_EQ(conv.at("shape"), nlohmann::json({256}));
  EXPECT_EQ(conv.at("size"), 512);

  EXPECT_EQ(testing_support::read_file(out / "config.json"), testing_support::read_file(src_->path() / "config.json"));
}

TEST_F(Converted, ExpertFilesDecodeAndTheDirectoryLoads) {
  ASSERT_TRUE(bq4_->result) << bq4_->result.error();
  const std::filesystem::path out = out_->path() / "bq4";
  const CheckpointShape shape;
  const auto layout = *ExpertRecordLayout::make(shape.hidden, shape.intermediate);
  const std::size_t block = shape.intermediate * shape.hidden;
  for (std::size_t layer = 0; layer < shape.layers; ++layer) {
    const std::string file = testing_support::read_file(out / "packed_experts" / fmt::format("layer_{:02}.bin", layer));
    ASSERT_EQ(file.size(), shape.experts * layout.size);
    const std::string p = fmt::format("model.language_model.layers.{}.mlp.experts.", layer);
    // Layer 0 shares its index with the MTP layer, whose experts must not land here.
    const auto& gate_up = find_tensor(*tensors_, p + "gate_up_proj").values;
    const auto& down = find_tensor(*tensors_, p + "down_proj").values;
    for (std::size_t e = 0; e < shape.experts; ++e) {
      const auto record = as_bytes(file).subspan(e * layout.size, layout.size);
      const auto gate = decode_u32(record.subspan(layout.gate_weight), record.subspan(layout.gate_scales),
                                   record.subspan(layout.gate_biases), shape.intermediate, shape.hidden);
      const auto up = decode_u32(record.subspan(layout.up_weight), record.subspan(layout.up_scales),
                                 record.subspan(layout.up_biases), shape.intermediate, shape.hidden);
      const auto dn = decode_u32(record.subspan(layout.down_weight), record.subspan(layout.down_scales),
                                 record.subspan(layout.down_biases), shape.hidden, shape.intermediate);
      for (std::size_t i = 0; i < block; ++i) {
        const std::size_t g = i / 64 * 64;
        ASSERT_LE(std::fabs(gate[i] - gate_up[e * 2 * block + i]),
                  int4_bound(std::span<const float>(gate_up).subspan(e * 2 * block + g, 64)));
        ASSERT_LE(std::fabs(up[i] - gate_up[e * 2 * block + block + i]),
                  int4_bound(std::span<const float>(gate_up).subspan(e * 2 * block + block + g, 64)));
        ASSERT_LE(std::fabs(dn[i] - down[e * block + i]), int4_bound(std::span<const float>(down).subspan(e * block + g, 64)));
      }
    }
  }

  ::testing::internal::CaptureStderr();
  auto model = Model::load(out.string());
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(model) << model.error().to_string();
  EXPECT_NE(log.find("[model] 4 layers hidden=64 experts=4 lz4_layers=0"), std::string::npos) << log;
  ASSERT_EQ(model->experts().size(), 4u);
  std::vector<uint8_t> record(model->experts()[1].expert_size());
  ASSERT_EQ(record.size(), layout.size);
  ASSERT_TRUE(model->experts()[1].read_expert(3, record));
  const std::string file = testing_support::read_file(out / "packed_experts" / "layer_01.bin");
  const auto stored = as_bytes(file).subspan(3 * layout.size, layout.size);
  EXPECT_TRUE(std::equal(record.begin(), record.end(), stored.begin(), stored.end()));
  const TensorInfo* head = model->weights().find("language_model.lm_head.weight");
  ASSERT_NE(head, nullptr);
  EXPECT_EQ(head->dtype, "u8");
  EXPECT_EQ(head->shape, (std::vector<uint64_t>{40, 64}));
}

std::vector<std::string> lines_of(const std::string& log) {
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(Converted, ProgressLines) {
  ASSERT_TRUE(bq4_->result) << bq4_->result.error();
  const std::filesystem::path out = out_->path() / "bq4";
  const nlohmann::json manifest = read_json(out / "model_weights.json");
  uint64_t bytes = 0;
  for (const auto& [name, entry] : manifest.at("tensors").items()) bytes += entry.at("size").get<uint64_t>();
  std::map<std::string, int> counts;
  for (const SourceTensor& t : *tensors_) {
    if (!is_expert_or_vision(t.name)) ++counts[std::string(as_str(expected_type(t, true)))];
  }
  std::string by_dtype;
  for (const auto& [dtype, count] : counts) by_dtype += fmt::format("{}\"{}\": {}", by_dtype.empty() ? "" : ", ", dtype, count);
  const std::string rule(60, '=');
  const CheckpointShape shape;
  const double layer_mb = shape.experts * ExpertRecordLayout::make(shape.hidden, shape.intermediate)->size / 1e6;
  const std::vector<std::string> expected = {
      fmt::format("  Total tensors: {}", tensors_->size()),
      "",
      rule,
      "Quantizing non-expert weights...",
      rule,
      std::string("  Caching header: ") + kShard1,
      std::string("  Caching header: ") + kShard2,
      fmt::format("  {} tensors, {:.2f} GB", manifest.at("num_tensors").get<int>(), bytes / 1e9),
      "  Written in *",
      "  By dtype: {" + by_dtype + "}",
      "  Manifest: " + (out / "model_weights.json").string(),
      "",
      rule,
      "Quantizing expert weights...",
      rule,
      fmt::format("  Layer 00: {:.1f} MB → layer_00.bin", layer_mb),
      fmt::format("  Layer 01: {:.1f} MB → layer_01.bin", layer_mb),
      fmt::format("  Layer 02: {:.1f} MB → layer_02.bin", layer_mb),
      fmt::format("  Layer 03: {:.1f} MB → layer_03.bin", layer_mb),
      "",
      "  4 expert layers in *",
      "",
      rule,
      "Done!",
      fmt::format("  model_weights.bin : {:.2f} GB", std::filesystem::file_size(out / "model_weights.bin") / 1e9),
      "  model_weights.json: " + (out / "model_weights.json").string(),
      "  packed_experts    : 4 layers",
      "  Total time        : *",
      rule,
  };
  const auto lines = lines_of(bq4_->log);
  ASSERT_EQ(lines.size(), expected.size()) << bq4_->log;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (expected[i].ends_with("*")) {
      EXPECT_TRUE(lines[i].starts_with(expected[i].substr(0, expected[i].size() - 1))) << lines[i];
    } else {
      EXPECT_EQ(lines[i], expected[i]);
    }
  }
  // Seconds and rates with one decimal.
  const auto one_decimal_before = [](const std::string& line, const std::string& after) {
    const auto at = line.rfind(after);
    return at != std::string::npos && at >= 3 && line[at - 2] == '.' && std::isdigit(line[at - 1]) &&
           std::isdigit(line[at - 3]);
  };
  EXPECT_TRUE(one_decimal_before(lines[8], "s (")) << lines[8];
  EXPECT_TRUE(one_decimal_before(lines[8], " GB/s)") || lines[8].ends_with("(inf GB/s)")) << lines[8];
  EXPECT_TRUE(one_decimal_before(lines[20], "s") && lines[20].ends_with("s")) << lines[20];
  EXPECT_TRUE(one_decimal_before(lines[27], "s") && lines[27].ends_with("s")) << lines[27];
}

// A one-shard checkpoint of the given tensors with the default config.
void write_small(const std::filesystem::path& dir, const std::vector<SourceTensor>& tensors,
                 nlohmann::json config = make_config(CheckpointShape{})) {
  write_checkpoint(dir, config, tensors, [](const std::string&) { return "model.safetensors"; });
}

TEST(RunDriver, InterruptIsPolledOncePerShard) {
  ScratchDir src, out;
  const CheckpointShape shape;
  write_checkpoint(src.path(), make_config(shape), make_tensors(shape, 2));
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);

  int polls = 0;
  ::testing::internal::CaptureStderr();
  auto finished = run(src.path().string(), (out / "a").string(), scheme, [&]() -> std::optional<std::string> {
    ++polls;
    return std::nullopt;
  });
  ::testing::internal::GetCapturedStderr();
  ASSERT_TRUE(finished) << finished.error();
  EXPECT_EQ(polls, 2);

  polls = 0;
  ::testing::internal::CaptureStderr();
  auto stopped = run(src.path().string(), (out / "b").string(), scheme, [&]() -> std::optional<std::string> {
    return ++polls == 2 ? std::optional<std::string>("KeyboardInterrupt") : std::nullopt;
  });
  const std::string log = ::testing::internal::GetCapturedStderr();
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
  testing_support::write_file(src / "model.safetensors.index.json", R"({"metadata": {}})");
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);
  const Conversion empty = convert(src.path().string(), out / "empty", scheme);
  ASSERT_TRUE(empty.result) << empty.result.error();
  EXPECT_TRUE(empty.log.starts_with("  Total tensors: 0\n")) << empty.log;
  EXPECT_NE(empty.log.find("  packed_experts    : 0 layers\n"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(out / "empty" / "model_weights.bin"), 0u);
  const nlohmann::json manifest = read_json(out / "empty" / "model_weights.json");
  EXPECT_EQ(manifest.at("num_tensors"), 0);
  EXPECT_EQ(manifest.at("tensors"), nlohmann::json::object());
  EXPECT_TRUE(std::filesystem::is_empty(out / "empty" / "packed_experts"));
  EXPECT_TRUE(std::filesystem::exists(out / "empty" / "config.json"));

  // [3, 100] as 4-bit: 128 columns, the extra ones from zeros; a bf16 [4, 8]
  // follows at the next multiple of 64 after the third part.
  ScratchDir padded_src;
  const SourceTensor wide{"model.language_model.layers.0.linear_attn.in_proj_z.weight", {3, 100},
                          bf16_values(300, -2, 2, 5)};
  const SourceTensor small{"model.language_model.layers.0.linear_attn.dt_bias", {4, 8}, bf16_values(32, -1, 1, 6)};
  write_small(padded_src.path(), {wide, small});
  const Conversion padded = convert(padded_src.path().string(), out / "padded", scheme);
  ASSERT_TRUE(padded.result) << padded.result.error();
  const nlohmann::json tensors = read_json(out / "padded" / "model_weights.json").at("tensors");
  const std::string base = "language_model.model.layers.0.linear_attn.in_proj_z";
  EXPECT_EQ(tensors.at(base + ".weight"), nlohmann::json({{"dtype", "u32"}, {"offset", 0}, {"shape", {3, 16}}, {"size", 192}}));
  EXPECT_EQ(tensors.at(base + ".scales"), nlohmann::json({{"dtype", "bf16"}, {"offset", 192}, {"shape", {3, 2}}, {"size", 12}}));
  EXPECT_EQ(tensors.at(base + ".biases"), nlohmann::json({{"dtype", "bf16"}, {"offset", 204}, {"shape", {3, 2}}, {"size", 12}}));
  EXPECT_EQ(tensors.at("language_model.model.layers.0.linear_attn.dt_bias"),
            nlohmann::json({{"dtype", "bf16"}, {"offset", 256}, {"shape", {32}}, {"size", 64}}));
  const std::string file = testing_support::read_file(out / "padded" / "model_weights.bin");
  EXPECT_EQ(file.size(), 320u);
  EXPECT_EQ(file.substr(216, 40), std::string(40, '\0'));
}

TEST(RunDriver, SourceAndOutputDirectoriesMayBeTheSame) {
  ScratchDir src;
  write_small(src.path(), {{"model.language_model.norm.weight", {64}, bf16_values(64, 0, 1, 7)}});
  const std::string config = testing_support::read_file(src / "config.json");
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);
  const Conversion same = convert(src.path().string(), src.path() / "", scheme);
  ASSERT_TRUE(same.result) << same.result.error();
  EXPECT_EQ(testing_support::read_file(src / "config.json"), config);
  ScratchDir other;
  std::filesystem::create_symlink(src.path(), other / "link");
  const Conversion linked = convert(src.path().string(), other / "link", scheme);
  ASSERT_TRUE(linked.result) << linked.result.error();
  EXPECT_EQ(testing_support::read_file(src / "config.json"), config);
}

TEST(RunDriver, Failures) {
  ScratchDir src, out;
  const SourceTensor norm{"model.language_model.norm.weight", {64}, bf16_values(64, 0, 1, 8)};
  write_small(src.path(), {norm});
  const BQ4Scheme scheme = make_scheme<BQ4Scheme>(src.path(), false);
  const auto fails_with = [&](const std::filesystem::path& dir, const std::string& name) {
    const Conversion c = convert(dir.string(), out / name, scheme);
    EXPECT_FALSE(c.result) << name;
    return c.result ? std::string() : c.result.error();
  };

  std::filesystem::remove(src / "model.safetensors.index.json");
  EXPECT_EQ(fails_with(src.path(), "no_index"), "file not found: " + (src / "model.safetensors.index.json").string());
  testing_support::write_file(src / "model.safetensors.index.json", "{\"weight_map\": ");
  EXPECT_NE(fails_with(src.path(), "bad_index").find("line 1"), std::string::npos);
  std::filesystem::remove(src / "config.json");
  EXPECT_EQ(fails_with(src.path(), "no_config"), "file not found: " + (src / "config.json").string());

  // A shard name that leaves the checkpoint is refused before anything is read.
  write_small(src.path(), {norm});
  testing_support::write_file(src / "model.safetensors.index.json",
                              R"({"weight_map": {"model.language_model.norm.weight": "../model.safetensors"}})");
  EXPECT_NE(fails_with(src.path(), "escape").find("\"../model.safetensors\""), std::string::npos);

  // full_attention_interval 0 fails before the weight file exists.
  write_small(src.path(), {norm}, {{"num_hidden_layers", 2}, {"full_attention_interval", 0}});
  const BQ4Scheme zero = make_scheme<BQ4Scheme>(src.path(), false);
  ::testing::internal::CaptureStderr();
  auto interval = run(src.path().string(), (out / "zero").string(), zero);
  ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(interval);
  EXPECT_EQ(interval.error(), "attempt to calculate the remainder with a divisor of zero");
  EXPECT_FALSE(std::filesystem::exists(out / "zero" / "model_weights.bin"));

  // A tensor with no dimensions, and one whose header promises more than its data.
  write_small(src.path(), {{"model.language_model.layers.0.linear_attn.dt_bias", {}, {1.0f}}});
  const std::string scalar = fails_with(src.path(), "scalar");
  EXPECT_NE(scalar.find("model.language_model.layers.0.linear_attn.dt_bias"), std::string::npos) << scalar;
  write_small(src.path(), {{"model.language_model.layers.0.linear_attn.in_proj_z.weight", {2, 64}, bf16_values(128, 0, 1, 9)}});
  {
    std::string bytes = testing_support::read_file(src / "model.safetensors");
    const auto at = bytes.find("[2,64]");
    ASSERT_NE(at, std::string::npos);
    bytes.replace(at, 6, "[3,64]");
    testing_support::write_file(src / "model.safetensors", bytes);
  }
  const std::string short_data = fails_with(src.path(), "short");
  EXPECT_NE(short_data.find("model.language_model.layers.0.linear_attn.in_proj_z.weight"), std::string::npos)
      << short_data;

  // The output directory cannot be made under a file.
  testing_support::write_file(out / "file", "x");
  ::testing::internal::CaptureStderr();
  auto blocked = run(src.path().string(), (out / "file" / "sub").string(), scheme);
  ::testing::internal::GetCapturedStderr();
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error(), "Not a directory (os error 20)");
}

}  // namespace
}  // namespace varkel
