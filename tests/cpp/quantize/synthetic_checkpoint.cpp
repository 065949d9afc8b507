#include "quantize/synthetic_checkpoint.h"

#include <bit>
#include <cstring>
#include <fstream>
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
  std::size_t n = 1;
  for (std::size_t d : shape) n *= d;
  return n;
}

class Builder {
 public:
  explicit Builder(uint32_t seed) : seed_(seed) {}

  void add(std::string name, std::vector<std::size_t> shape, float low = -1.0f, float high = 1.0f,
           std::string dtype = "BF16") {
    specs_.push_back({std::move(name), std::move(shape), low, high, std::move(dtype), seed_++});
  }
  std::vector<TensorSpec> take() { return std::move(specs_); }

 private:
  uint32_t seed_;
  std::vector<TensorSpec> specs_;
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

SourceTensor materialize(const TensorSpec& spec) {
  return {spec.name, spec.shape, bf16_values(product(spec.shape), spec.low, spec.high, spec.seed), spec.dtype};
}

std::vector<SourceTensor> make_tensors(const CheckpointShape& shape, uint32_t seed) {
  std::vector<SourceTensor> tensors;
  for (const TensorSpec& spec : checkpoint_specs(shape, seed)) tensors.push_back(materialize(spec));
  return tensors;
}

std::vector<TensorSpec> checkpoint_specs(const CheckpointShape& s, uint32_t seed) {
  Builder b(seed);
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
  if (s.mtp) {
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
  if (s.vision) b.add("model.visual.blocks.0.attn.qkv.weight", {3 * H, H});
  return b.take();
}

nlohmann::json make_config(const CheckpointShape& s) {
  nlohmann::json text = {
      {"model_type", "qwen3_5_moe_text"},
      {"hidden_size", s.hidden},
      {"num_hidden_layers", s.layers},
      {"moe_intermediate_size", s.intermediate},
      {"shared_expert_intermediate_size", s.shared_intermediate},
      {"num_experts", s.experts},
      {"num_experts_per_tok", 2},
      {"mtp_num_hidden_layers", s.mtp ? 1 : 0},
      {"full_attention_interval", 4},
      {"vocab_size", s.vocab},
      {"num_attention_heads", s.heads},
      {"num_key_value_heads", s.kv_heads},
      {"head_dim", s.head_dim},
      {"rms_norm_eps", 1e-6},
      {"linear_num_value_heads", s.linear_value_heads},
      {"linear_num_key_heads", s.linear_key_heads},
      {"linear_key_head_dim", s.linear_head_dim},
      {"linear_value_head_dim", s.linear_head_dim},
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

struct ShardEntry {
  const std::string& name;
  const std::vector<std::size_t>& shape;
  const std::string& dtype;
  std::function<std::vector<float>()> values;  // made when its bytes are written
};

void write_shard(const std::filesystem::path& path, const std::vector<ShardEntry>& entries) {
  nlohmann::json header = {{"__metadata__", {{"format", "pt"}}}};
  std::size_t offset = 0;
  for (const ShardEntry& e : entries) {
    const std::size_t size = product(e.shape) * (e.dtype == "F32" ? 4 : 2);
    header[e.name] = {{"dtype", e.dtype}, {"shape", e.shape}, {"data_offsets", {offset, offset + size}}};
    offset += size;
  }
  std::string text = header.dump();
  text.resize((text.size() + 7) / 8 * 8, ' ');
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  const uint64_t length = text.size();
  for (int shift = 0; shift < 64; shift += 8) out.put(static_cast<char>(length >> shift));
  out << text;
  std::string data;
  for (const ShardEntry& e : entries) {
    const std::vector<float> values = e.values();
    data.clear();
    for (float v : values) {
      const uint32_t bits = std::bit_cast<uint32_t>(v);
      const int low_shift = e.dtype == "F32" ? 0 : 16;
      for (int shift = low_shift; shift < 32; shift += 8) data.push_back(static_cast<char>(bits >> shift));
    }
    out << data;
  }
  if (!out.good()) throw std::runtime_error("cannot write " + path.string());
}

template <class T, class Values>
void write_all(const std::filesystem::path& dir, const nlohmann::json& config, const std::vector<T>& tensors,
               const std::function<std::string(const std::string&)>& shard_of, Values values) {
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "config.json") << config.dump(2);
  std::map<std::string, std::vector<ShardEntry>> shards;
  nlohmann::json weight_map = nlohmann::json::object();
  for (const T& t : tensors) {
    const std::string shard = shard_of(t.name);
    shards[shard].push_back({t.name, t.shape, t.dtype, [&t, values] { return values(t); }});
    weight_map[t.name] = shard;
  }
  for (const auto& [shard, entries] : shards) write_shard(dir / shard, entries);
  nlohmann::json index = {{"metadata", {{"total_size", 0}}}, {"weight_map", weight_map}};
  std::ofstream(dir / "model.safetensors.index.json") << index.dump(2);
}

}  // namespace

void write_safetensors(const std::filesystem::path& path, const std::vector<const SourceTensor*>& tensors) {
  std::vector<ShardEntry> entries;
  for (const SourceTensor* t : tensors) entries.push_back({t->name, t->shape, t->dtype, [t] { return t->values; }});
  write_shard(path, entries);
}

void write_checkpoint(const std::filesystem::path& dir, const nlohmann::json& config,
                      const std::vector<SourceTensor>& tensors,
                      const std::function<std::string(const std::string&)>& shard_of) {
  write_all(dir, config, tensors, shard_of, [](const SourceTensor& t) { return t.values; });
}

void write_checkpoint(const std::filesystem::path& dir, const nlohmann::json& config,
                      const std::vector<TensorSpec>& specs,
                      const std::function<std::string(const std::string&)>& shard_of) {
  write_all(dir, config, specs, shard_of, [](const TensorSpec& spec) { return materialize(spec).values; });
}

}  // namespace varkel::quantize_test
