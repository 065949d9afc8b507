#pragma once
// Reading layer numbers and component names out of tensor names.

#include <cstdint>
#include <optional>
#include <string_view>

namespace varkel {

// The decoder layer of a name: the digits right after the first "layers." that
// is followed by digits and then ".".
std::optional<uint64_t> extract_layer(std::string_view name);

// The name without its model prefix and layer or block number:
// language_model.model.layers.3.self_attn.q_proj -> self_attn.q_proj.
std::string_view strip_layer_prefix(std::string_view name);

// RMS-norm weights that a "3.6" checkpoint stores as w - 1.
bool is_norm_key(std::string_view name);

}  // namespace varkel
