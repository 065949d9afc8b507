#include "quantize/synthetic_checkpoint.h"

#include <bit>
#include <cstring>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>

namespace varkel::quantize_test {

std::vector<float> bf16_values(std::size_t count, float low, float high, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(low, high);
  std::vector<float> values(count);
  for (float& v : values) v = std::bit_cast<float>(std::bit_cast<uint32_t>(dist(rng)) & 0xFFFF0000u);
  return values;
}

namespace {

std::size_t product(const std::vector<std::size_t>& shape) {
  return std::accumulate(shape.begin(), shape.end(), std::size_t{1}, std::multiplies<>());
}

struct Builder {
  uint32_t seed;
  std::vector<TensorSpec> specs;
  void add(std::string name, std::vector<std::size_t> shape, float low = -1.0f, float high = 1.0f,
           std::string dtype = "BF16") {
    specs.push_back({std::move(name), std::move(shape), low, high, std::move(dtype), seed++});
  }
};

void add_moe(Builder& b, const std::string& p, const CheckpointShape& s) {
  const std::size_t H = s.hidden;
  b.add(p + "mlp.gate.weight", {s.experts, H});
  b.add(p + "mlp.shared_expert.gate_proj.weight", {s.shared_intermediate, H});
  b.add(p + "mlp.shared_expert.up_proj.weight", {s.shared_intermediate, H});
  b.add(p + "mlp.shared_expert.down_proj.weight", {H, s.shared_intermediate});
  b.add(p + "mlp.shared_expert_gate.weight", {1, H});
  b.add(p + "mlp.experts.gate_up_proj", {s.experts, 2 * s.intermediate, H});
  b.add(p + "mlp.experts.down_proj", {s.experts, H, s.intermediate});
}

void add_full_attention(Builder& b, const std::string& p, const CheckpointShape& s) {
  const std::size_t H = s.hidden;
  b.add(p + "self_attn.q_proj.weight", {2 * s.heads * s.head_dim, H});
  b.add(p + "self_attn.k_proj.weight", {s.kv_heads * s.head_dim, H});
  b.add(p + "self_attn.v_proj.weight", {s.kv_heads * s.head_dim, H});
  b.add(p + "self_attn.o_proj.weight", {H, s.heads * s.head_dim});
  b.add(p + "self_attn.q_norm.weight", {s.head_dim}, -0.1f, 0.1f);
  b.add(p + "self_attn.k_norm.weight", {s.head_dim}, -0.1f, 0.1f);
}

}  // namespace

std::vector<SourceTensor> make_tensors(const CheckpointShape& shape, uint32_t seed) {
  std::vector<SourceTensor> tensors;
  for (const TensorSpec& t : checkpoint_specs(shape, seed)) {
    tensors.push_back({t.name, t.shape, bf16_values(product(t.shape), t.low, t.high, t.seed), t.dtype});
  }
  return tensors;
}

std::vector<TensorSpec> checkpoint_specs(const CheckpointShape& s, uint32_t seed) {
  Builder b{seed, {}};
  const std::size_t H = s.hidden;
  const std::size_t key_dim = s.linear_key_heads * s.linear_head_dim;
  const std::size_t value_dim = s.linear_value_heads * s.linear_head_dim;
  b.add("model.language_model.embed_tokens.weight", {s.vocab, H});
  b.add("model.language_model.norm.weight", {H}, -0.1f, 0.1f);
  b.add("lm_head.weight", {s.vocab, H});
  for (std::size_t layer = 0; layer < s.layers; ++layer) {
    const std::string p = "model.language_model.layers." + std::to_string(layer) + ".";
    b.add(p + "input_layernorm.weight", {H}, -0.1f, 0.1f);
    b.add(p + "post_attention_layernorm.weight", {H}, -0.1f, 0.1f);
    if ((layer + 1) % 4 == 0) {
      add_full_attention(b, p, s);
    } else {
      b.add(p + "linear_attn.in_proj_qkv.weight", {2 * key_dim + value_dim, H});
      b.add(p + "linear_attn.in_proj_z.weight", {value_dim, H});
      b.add(p + "linear_attn.in_proj_a.weight", {s.linear_value_heads, H});
      b.add(p + "linear_attn.in_proj_b.weight", {s.linear_value_heads, H});
      b.add(p + "linear_attn.conv1d.weight", {2 * key_dim + value_dim, 1, s.conv_kernel});
      b.add(p + "linear_attn.A_log", {s.linear_value_heads}, 0.0f, 2.0f, "F32");
      b.add(p + "linear_attn.dt_bias", {s.linear_value_heads});
      b.add(p + "linear_attn.norm.weight", {s.linear_head_dim}, 0.5f, 1.5f);
      b.add(p + "linear_attn.out_proj.weight", {H, value_dim});
    }
    add_moe(b, p, s);
  }
  {
    b.add("mtp.fc.weight", {H, 2 * H});
    b.add("mtp.norm.weight", {H}, -0.1f, 0.1f);
    b.add("mtp.pre_fc_norm_embedding.weight", {H}, -0.1f, 0.1f);
    b.add("mtp.pre_fc_norm_hidden.weight", {H}, -0.1f, 0.1f);
    const std::string p = "mtp.layers.0.";
    b.add(p + "input_layernorm.weight", {H}, -0.1f, 0.1f);
    b.add(p + "post_attention_layernorm.weight", {H}, -0.1f, 0.1f);
    add_full_attention(b, p, s);
    add_moe(b, p, s);
  }
  b.add("model.visual.blocks.0.attn.qkv.weight", {3 * H, H});
  return b.specs;
}

nlohmann::json make_config(const CheckpointShape& s) {
  nlohmann::json text = {
      {"model_type", "qwen3_5_moe_text"}, {"hidden_size", s.hidden}, {"num_hidden_layers", s.layers},
      {"moe_intermediate_size", s.intermediate}, {"shared_expert_intermediate_size", s.shared_intermediate},
      {"num_experts", s.experts}, {"num_experts_per_tok", 2}, {"mtp_num_hidden_layers", 1},
      {"full_attention_interval", 4}, {"vocab_size", s.vocab}, {"num_attention_heads", s.heads},
      {"num_key_value_heads", s.kv_heads}, {"head_dim", s.head_dim}, {"rms_norm_eps", 1e-6},
      {"linear_num_value_heads", s.linear_value_heads}, {"linear_num_key_heads", s.linear_key_heads},
      {"linear_key_head_dim", s.linear_head_dim}, {"linear_value_head_dim", s.linear_head_dim},
      {"linear_conv_kernel_dim", s.conv_kernel},
      {"rope_parameters", {{"rope_theta", 10000000}, {"partial_rotary_factor", 0.25}}},
  };
  return {{"model_type", "qwen3_5_moe"}, {"text_config", text}};
}

std::string two_shard_plan(const std::string& name) {
  if (name.starts_with("model.language_model.layers.0.") || name.starts_with("model.language_model.embed") ||
      name == "model.language_model.layers.1.mlp.experts.gate_up_proj") {
    return kShard1;
  }
  return kShard2;
}

namespace {

// The tensors in order; `values(t)` is called only while t's bytes are written.
template <class T, class Values>
void write_shard(const std::filesystem::path& path, const std::vector<const T*>& tensors, Values values) {
  nlohmann::json header = {{"__metadata__", {{"format", "pt"}}}};
  std::size_t offset = 0;
  for (const T* t : tensors) {
    const std::size_t size = product(t->shape) * (t->dtype == "F32" ? 4 : 2);
    header[t->name] = {{"dtype", t->dtype}, {"shape", t->shape}, {"data_offsets", {offset, offset + size}}};
    offset += size;
  }
  std::string text = header.dump();
  text.resize((text.size() + 7) / 8 * 8, ' ');
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (int shift = 0; shift < 64; shift += 8) out.put(static_cast<char>(uint64_t{text.size()} >> shift));
  out << text;
  for (const T* t : tensors) {
    std::string data;
    for (float v : values(*t)) {
      const uint32_t bits = std::bit_cast<uint32_t>(v);
      for (int shift = t->dtype == "F32" ? 0 : 16; shift < 32; shift += 8) data.push_back(static_cast<char>(bits >> shift));
    }
    out << data;
  }
  if (!out.good()) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace

void write_safetensors(const std::filesystem::path& path, const std::vector<const SourceTensor*>& tensors) {
  write_shard(path, tensors, [](const SourceTensor& t) { return t.values; });
}

void write_checkpoint(const std::filesystem::path& dir, const nlohmann::json& config,
                      const std::vector<TensorSpec>& specs,
                      const std::function<std::string(const std::string&)>& shard_of) {
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "config.json") << config.dump(2);
  std::map<std::string, std::vector<const TensorSpec*>> shards;
  nlohmann::json weight_map = nlohmann::json::object();
  for (const TensorSpec& t : specs) {
    shards[shard_of(t.name)].push_back(&t);
    weight_map[t.name] = shard_of(t.name);
  }
  for (const auto& [shard, tensors] : shards) {
    write_shard(dir / shard, tensors, [](const TensorSpec& t) { return bf16_values(product(t.shape), t.low, t.high, t.seed); });
  }
  nlohmann::json index = {{"metadata", {{"total_size", 0}}}, {"weight_map", weight_map}};
  std::ofstream(dir / "model.safetensors.index.json") << index.dump(2);
}

}  // namespace varkel::quantize_test
