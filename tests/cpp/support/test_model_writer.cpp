#include "support/test_model_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <fmt/format.h>

#include "dtype/quant_int4.h"
#include "support/test_values.h"
#include "support/weight_file_builder.h"

namespace varkel::test_support {

namespace {

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The name with a leading "...layers.N." removed.
std::string strip_layer_prefix(const std::string& name) {
  const std::size_t at = name.find("layers.");
  if (at == std::string::npos) return name;
  std::size_t i = at + 7;
  const std::size_t digits = i;
  while (i < name.size() && name[i] >= '0' && name[i] <= '9') ++i;
  if (i == digits || i >= name.size() || name[i] != '.') return name;
  return name.substr(i + 1);
}

struct Shape {
  std::size_t rows;
  std::size_t cols;
  std::size_t dims;
};

}  // namespace

DType converter_dtype(const std::string& name, std::size_t dims, bool int4_scheme) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string::npos) return DType::Bf16;
  const std::string suffix = name.substr(dot + 1);
  if (suffix == "A_log") return DType::F32;
  if (suffix != "weight") return DType::Bf16;
  if (dims != 2) return DType::Bf16;
  std::string stem = strip_layer_prefix(name);
  stem = stem.substr(0, stem.size() - 7);
  // Only the last component pairs matter for the stems below.
  auto stem_is = [&](std::string_view want) { return stem == want || ends_with(stem, std::string(".") + std::string(want)); };
  if (int4_scheme) return DType::U32;
  if (stem_is("lm_head")) return DType::U8;
  for (std::string_view bf16_stem : {"mlp.gate", "attn.qkv", "attn.proj", "pos_embed", "self_attn.q_proj",
                                     "self_attn.k_proj", "self_attn.v_proj", "self_attn.o_proj", "patch_embed.proj"}) {
    if (stem == bf16_stem) return DType::Bf16;
  }
  return DType::U32;
}

TestModelOptions full_model_options(bool bare) {
  TestModelOptions options;
  options.architecture = "Qwen3_5MoeForConditionalGeneration";
  options.layers = 40;
  options.experts = 256;
  options.experts_per_tok = 8;
  options.write_weights = !bare;
  options.empty_experts = bare;
  return options;
}

nlohmann::json test_model_config(const TestModelOptions& options) {
  nlohmann::json config = {
      {"architectures", {options.architecture}},
      {"hidden_size", kHidden},
      {"num_hidden_layers", options.layers},
      {"num_experts", options.experts},
      {"num_experts_per_tok", options.experts_per_tok},
      {"moe_intermediate_size", kExpertIntermediate},
      {"shared_expert_intermediate_size", 512},
      {"num_attention_heads", 16},
      {"num_key_value_heads", 2},
      {"head_dim", 256},
      {"vocab_size", kVocab},
      {"linear_num_value_heads", 32},
      {"linear_num_key_heads", 16},
      {"linear_key_head_dim", 128},
      {"linear_value_head_dim", 128},
  };
  config.merge_patch(options.config_patch);
  return config;
}

std::vector<TestTensor> test_model_tensors(const TestModelOptions& options) {
  std::vector<std::pair<std::string, Shape>> sources;
  auto matrix = [&](std::string name, std::size_t rows, std::size_t cols) {
    sources.push_back({std::move(name), Shape{rows, cols, 2}});
  };
  auto vector = [&](std::string name, std::size_t n) { sources.push_back({std::move(name), Shape{1, n, 1}}); };

  matrix("language_model.model.embed_tokens.weight", options.vocab_rows, kHidden);
  for (std::size_t layer = 0; layer < options.layers; ++layer) {
    const std::string p = fmt::format("language_model.model.layers.{}.", layer);
    vector(p + "input_layernorm.weight", kHidden);
    vector(p + "post_attention_layernorm.weight", kHidden);
    if ((layer + 1) % 4 == 0) {
      matrix(p + "self_attn.q_proj.weight", 8192, kHidden);
      matrix(p + "self_attn.k_proj.weight", 512, kHidden);
      matrix(p + "self_attn.v_proj.weight", 512, kHidden);
      matrix(p + "self_attn.o_proj.weight", kHidden, 4096);
      vector(p + "self_attn.q_norm.weight", 256);
      vector(p + "self_attn.k_norm.weight", 256);
    } else {
      matrix(p + "linear_attn.in_proj_qkv.weight", 8192, kHidden);
      matrix(p + "linear_attn.in_proj_z.weight", 4096, kHidden);
      matrix(p + "linear_attn.in_proj_b.weight", 32, kHidden);
      matrix(p + "linear_attn.in_proj_a.weight", 32, kHidden);
      // The checkpoint's [8192, 1, 4] taps: three dimensions, so bf16.
      sources.push_back({p + "linear_attn.conv1d.weight", Shape{8192, 4, 3}});
      vector(p + "linear_attn.A_log", 32);
      vector(p + "linear_attn.dt_bias", 32);
      vector(p + "linear_attn.norm.weight", 128);
      matrix(p + "linear_attn.out_proj.weight", kHidden, 4096);
    }
    matrix(p + "mlp.gate.weight", options.experts, kHidden);
    matrix(p + "mlp.shared_expert.gate_proj.weight", 512, kHidden);
    matrix(p + "mlp.shared_expert.up_proj.weight", 512, kHidden);
    matrix(p + "mlp.shared_expert.down_proj.weight", kHidden, 512);
    matrix(p + "mlp.shared_expert_gate.weight", 1, kHidden);
  }
  vector("language_model.model.norm.weight", kHidden);
  matrix("language_model.lm_head.weight", options.vocab_rows, kHidden);

  std::vector<TestTensor> tensors;
  for (auto& [name, shape] : sources) {
    if (options.omit && options.omit(name)) continue;
    const auto override_it = options.dtype_overrides.find(name);
    const DType dtype = override_it != options.dtype_overrides.end()
                            ? override_it->second
                            : converter_dtype(name, shape.dims, options.int4_scheme);
    tensors.push_back(TestTensor{name, shape.rows, shape.cols, dtype});
  }
  return tensors;
}

std::vector<float> expert_projection_values(uint64_t seed, std::size_t layer, std::size_t expert, int projection) {
  const bool down = projection == 2;
  const std::size_t rows = down ? kHidden : kExpertIntermediate;
  const std::size_t cols = down ? kExpertIntermediate : kHidden;
  static constexpr const char* kNames[] = {"gate_proj", "up_proj", "down_proj"};
  std::vector<float> values(rows * cols);
  tensor_values(seed, fmt::format("experts.{}.{}.{}.weight", layer, expert, kNames[projection]), 0, rows, cols,
                values);
  return values;
}

namespace {

void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error(fmt::format("cannot write {}", path.string()));
}

void write_expert_files(const std::filesystem::path& dir, const TestModelOptions& options) {
  const auto experts_dir = dir / "packed_experts";
  std::filesystem::create_directories(experts_dir);
  std::vector<int> fds(options.layers, -1);
  std::string failure;
  for (std::size_t layer = 0; layer < options.layers; ++layer) {
    const auto path = experts_dir / fmt::format("layer_{:02}.bin", layer);
    fds[layer] = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0666);
    if (fds[layer] < 0 && failure.empty()) failure = fmt::format("cannot create {}: {}", path.string(), std::strerror(errno));
  }
  const std::size_t jobs = failure.empty() && !options.empty_experts ? options.layers * options.experts : 0;
#pragma omp parallel for schedule(dynamic)
  for (std::size_t job = 0; job < jobs; ++job) {
    const std::size_t layer = job / options.experts;
    const std::size_t expert = job % options.experts;
    std::vector<uint8_t> record;
    record.reserve(kExpertRecordSize);
    bool ok = true;
    for (int projection = 0; projection < 3 && ok; ++projection) {
      const bool down = projection == 2;
      auto values = expert_projection_values(options.seed, layer, expert, projection);
      auto quantized = quant_f32_to_int4(values, down ? kHidden : kExpertIntermediate,
                                         down ? kExpertIntermediate : kHidden);
      if (!quantized) {
        ok = false;
        break;
      }
      auto append = [&record](const auto& items) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(items.data());
        record.insert(record.end(), bytes, bytes + items.size() * sizeof(items[0]));
      };
      append(quantized->words);
      append(quantized->scales);
      append(quantized->biases);
    }
    const off_t offset = static_cast<off_t>(expert * kExpertRecordSize);
    if (!ok || record.size() != kExpertRecordSize ||
        ::pwrite(fds[layer], record.data(), record.size(), offset) != static_cast<ssize_t>(record.size())) {
#pragma omp critical(varkel_expert_writer)
      if (failure.empty()) failure = fmt::format("cannot write expert {} of layer {}", expert, layer);
    }
  }
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
  if (!failure.empty()) throw std::runtime_error(failure);
}

}  // namespace

void write_test_model(const std::filesystem::path& dir, const TestModelOptions& options) {
  std::filesystem::create_directories(dir);
  const nlohmann::json config = test_model_config(options);
  write_text(dir / "config.json", config.dump(2));

  WeightFileBuilder builder;
  if (options.write_weights) {
    for (const TestTensor& tensor : test_model_tensors(options)) {
      const uint64_t seed = options.seed;
      const std::string name = tensor.name;
      const std::size_t cols = tensor.cols;
      builder.add_generated(tensor.name, tensor.dtype, tensor.rows, tensor.cols,
                            [seed, name, cols, adjust = options.adjust_values](std::size_t row_begin, std::size_t rows,
                                                                               std::span<float> out) {
                              tensor_values(seed, name, row_begin, rows, cols, out);
                              if (adjust) adjust(name, row_begin, rows, cols, out);
                            });
    }
  }
  builder.write(dir / "model_weights.bin", dir / "model_weights.json", config);
  if (options.write_experts) write_expert_files(dir, options);
}

}  // namespace varkel::test_support
