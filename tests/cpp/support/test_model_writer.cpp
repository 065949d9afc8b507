#include "support/test_model_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include <fmt/format.h>

#include "dtype/quant_int4.h"
#include "parallel/parallel_for.h"
#include "support/test_values.h"
#include "support/weight_file_builder.h"

namespace varkel::test_support {

namespace {

struct Shape {
  std::size_t rows;
  std::size_t cols;
  std::size_t dims;
};

// The converter's storage choice for an engine name with `dims` dimensions.
DType converter_dtype(const std::string& name, std::size_t dims, bool int4_scheme) {
  if (name.ends_with(".A_log")) return DType::F32;
  if (!name.ends_with(".weight") || dims != 2) return DType::Bf16;
  if (int4_scheme) return DType::U32;
  if (name.ends_with("lm_head.weight")) return DType::U8;
  for (const char* bf16 : {".mlp.gate.weight", ".self_attn.q_proj.weight", ".self_attn.k_proj.weight",
                           ".self_attn.v_proj.weight", ".self_attn.o_proj.weight"}) {
    if (name.ends_with(bf16)) return DType::Bf16;
  }
  return DType::U32;
}

nlohmann::json test_model_config(const TestModelOptions& options) {
  return {{"architectures", {options.architecture}}, {"hidden_size", kHidden}, {"num_hidden_layers", options.layers},
          {"num_experts", options.experts}, {"num_experts_per_tok", options.experts_per_tok},
          {"moe_intermediate_size", kExpertIntermediate}, {"shared_expert_intermediate_size", 512},
          {"num_attention_heads", 16}, {"num_key_value_heads", 2}, {"head_dim", 256}, {"vocab_size", kVocab},
          {"linear_num_value_heads", 32}, {"linear_num_key_heads", 16}, {"linear_key_head_dim", 128},
          {"linear_value_head_dim", 128}};
}

}  // namespace

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
    tensors.push_back(TestTensor{name, shape.rows, shape.cols, converter_dtype(name, shape.dims, options.int4_scheme)});
  }
  return tensors;
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
  std::mutex failure_mutex;
  parallel::for_each_index(jobs, [&](std::size_t job) {
    const std::size_t layer = job / options.experts;
    const std::size_t expert = job % options.experts;
    std::vector<uint8_t> record;
    record.reserve(kExpertRecordSize);
    bool ok = true;
    // gate [512 x 2048], up [512 x 2048], down [2048 x 512]
    for (const char* projection : {"gate_proj", "up_proj", "down_proj"}) {
      const bool down = projection[0] == 'd';
      const std::size_t rows = down ? kHidden : kExpertIntermediate, cols = kHidden * kExpertIntermediate / rows;
      std::vector<float> values(rows * cols);
      tensor_values(options.seed, fmt::format("experts.{}.{}.{}.weight", layer, expert, projection), 0, rows, cols,
                    values);
      auto quantized = quant_f32_to_int4(values, rows, cols);
      if (!(ok = quantized.has_value())) break;
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
      const std::lock_guard lock(failure_mutex);
      if (failure.empty()) failure = fmt::format("cannot write expert {} of layer {}", expert, layer);
    }
  });
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
