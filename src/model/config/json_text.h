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

// The files we write: pretty-printed with two-space indentation, members in byte-wise name
// order, [] and {} when empty, no trailing line break. Floats take their shortest round-trip
// digits laid out as the readers of these files expect (1e-6, 0.00001, 2.0, 1e16), not as
// nlohmann prints them (1e-06, 1e-05, 1e+16). Invalid UTF-8 in a text becomes U+FFFD.
std::string to_pretty_json(const nlohmann::json& value);

// One finite double in that layout.
std::string json_float_text(double value);

}  // namespace varkel
