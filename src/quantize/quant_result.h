#pragma once
// The quantizer reports failures as plain message texts.

#include <expected>
#include <string>

namespace varkel {

template <class T>
using QuantResult = std::expected<T, std::string>;

inline std::unexpected<std::string> quant_error(std::string message) { return std::unexpected(std::move(message)); }

}  // namespace varkel
