#include "model/config/json_text.h"

#include <charconv>
#include <cmath>
#include <string>

namespace varkel {

std::expected<nlohmann::json, std::string> parse_json(std::string_view text) {
  // The library skips a leading byte order mark; the format has none, so it is an error.
  if (text.starts_with("\xEF\xBB\xBF")) {
    return std::unexpected(
        std::string("parse error at line 1, column 1: syntax error while parsing value - byte order mark"));
  }
  try {
    return nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& error) {
    // Drop the library's "[json.exception.parse_error.101] " tag: the rest reads on its own.
    std::string_view message = error.what();
    if (!message.empty() && message.front() == '[') {
      const size_t close = message.find("] ");
      if (close != std::string_view::npos) message.remove_prefix(close + 2);
    }
    return std::unexpected(std::string(message));
  }
}

}  // namespace varkel

namespace varkel {

namespace {

// nlohmann's own escaping of a text, which matches ours: \" \\ \b \f \n \r \t, other
// control characters as \u00xx, everything else as UTF-8.
void append_string(std::string& out, const std::string& text) {
  out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void append_value(std::string& out, const nlohmann::json& value, int depth) {
  const auto newline = [&](int level) {
    out += '\n';
    out.append(2 * static_cast<size_t>(level), ' ');
  };
  switch (value.type()) {
    case nlohmann::json::value_t::object: {
      if (value.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      bool first = true;
      for (const auto& [name, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        newline(depth + 1);
        append_string(out, name);
        out += ": ";
        append_value(out, member, depth + 1);
      }
      newline(depth);
      out += '}';
      return;
    }
    case nlohmann::json::value_t::array: {
      if (value.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      for (size_t i = 0; i < value.size(); ++i) {
        if (i) out += ',';
        newline(depth + 1);
        append_value(out, value[i], depth + 1);
      }
      newline(depth);
      out += ']';
      return;
    }
    case nlohmann::json::value_t::string: append_string(out, value.get_ref<const std::string&>()); return;
    case nlohmann::json::value_t::number_float: {
      const double number = value.get<double>();
      out += std::isfinite(number) ? json_float_text(number) : "null";
      return;
    }
    default: out += value.dump(); return;
  }
}

}  // namespace

std::string json_float_text(double value) {
  // Shortest round-trip digits d1 d2 ... dn and exponent e, value = 0.d1...dn × 10^(e + 1).
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<size_t>(result.ptr - buffer));
  std::string out;
  if (!text.empty() && text.front() == '-') {
    out += '-';
    text.remove_prefix(1);
  }
  const size_t e_at = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_at)) {
    if (c != '.') digits += c;
  }
  const int exponent = std::stoi(std::string(text.substr(e_at + 1)));
  const int length = static_cast<int>(digits.size());
  const int point = exponent + 1;  // digits before the decimal point
  if (exponent >= 0 && point <= 16) {
    if (length <= point) {
      out += digits;
      out.append(static_cast<size_t>(point - length), '0');
      out += ".0";
    } else {
      out += digits.substr(0, static_cast<size_t>(point));
      out += '.';
      out += digits.substr(static_cast<size_t>(point));
    }
  } else if (point > -5 && point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else {
    out += digits.substr(0, 1);
    if (length > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(exponent);
  }
  return out;
}

std::string to_pretty_json(const nlohmann::json& value) {
  std::string out;
  append_value(out, value, 0);
  return out;
}

}  // namespace varkel
