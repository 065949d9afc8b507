#pragma once
// What a tensor is, as far as the choice of its storage type goes. Each scheme
// maps these roles to types of its own.

#include <cstddef>
#include <string_view>

namespace varkel {

enum class TensorRole {
  Unnamed,      // no "." in the name
  ALog,         // suffix "A_log": kept in full precision
  OutputHead,   // 2-D lm_head weight
  Projection,   // 2-D router, attention or vision projection weight
  Matrix,       // any other 2-D weight
  Other,        // weights of other ranks, scales, biases, dt_bias, ...
};

TensorRole tensor_role(std::string_view engine_name, std::size_t ndim);

}  // namespace varkel
