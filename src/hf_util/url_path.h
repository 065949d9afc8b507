#pragma once
// File names as URL paths.

#include <string>
#include <string_view>

namespace varkel {

// Every byte outside the URL's unreserved set (letters, digits, "-", ".", "_",
// "~") as "%" and two upper-case hex digits; "/" stays the segment separator.
std::string percent_encode_path(std::string_view path);

}  // namespace varkel
