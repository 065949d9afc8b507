#pragma once
// JSON parsing with the parser's message as a plain error text.

#include <expected>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace varkel {

// Exactly one JSON value, optionally surrounded by whitespace. The error names the line
// and column, e.g. "parse error at line 1, column 5: syntax error ...". A member name that
// occurs twice keeps its last value.
std::expected<nlohmann::json, std::string> parse_json(std::string_view text);

// An unsigned integer written without sign, fraction or exponent that fits 64 bits.
inline bool is_unsigned_integer(const nlohmann::json& value) { return value.is_number_unsigned(); }

}  // namespace varkel
