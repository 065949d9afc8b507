#pragma once
#include <string>
#include <string_view>

namespace varkel {

// The text with every invalid UTF-8 sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);

}  // namespace varkel
