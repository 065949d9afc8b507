#pragma once
#include <string_view>

namespace varkel {

// The engine's shader library source, embedded at build time.
std::string_view embedded_shader_source();

}  // namespace varkel
