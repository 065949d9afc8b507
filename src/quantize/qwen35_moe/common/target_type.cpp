#include "quantize/qwen35_moe/common/target_type.h"

#include <array>

#include "quantize/qwen35_moe/common/tensor_names.h"

namespace varkel {

TensorRole tensor_role(std::string_view engine_name, std::size_t ndim) {
  const std::size_t dot = engine_name.rfind('.');
  if (dot == std::string_view::npos) return TensorRole::Unnamed;
  const std::string_view suffix = engine_name.substr(dot + 1);
  if (suffix == "A_log") return TensorRole::ALog;
  if (suffix != "weight" || ndim != 2) return TensorRole::Other;

  static constexpr std::array<std::string_view, 9> kProjections = {
      "mlp.gate",         "attn.qkv",         "attn.proj",        "pos_embed",       "self_attn.q_proj",
      "self_attn.k_proj", "self_attn.v_proj", "self_attn.o_proj", "patch_embed.proj",
  };
  const std::string_view stem = strip_layer_prefix(engine_name.substr(0, dot));
  if (stem == "lm_head") return TensorRole::OutputHead;
  for (std::string_view projection : kProjections) {
    if (stem == projection) return TensorRole::Projection;
  }
  return TensorRole::Matrix;
}

}  // namespace varkel
