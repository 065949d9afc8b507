#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace varkel {

// The debug-quoted form of a text: enclosed in double quotes, '"' and '\\'
// escaped, \t \r \n \0 as such, other non-printable characters as \u{hex}.
// Input is taken as UTF-8; invalid bytes are shown as \u{fffd}.
std::string debug_quoted(std::string_view text);

// ["a", "b"]: each element debug-quoted, separated by ", ".
std::string debug_list(const std::vector<std::string>& items);

}  // namespace varkel
