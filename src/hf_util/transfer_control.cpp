#include "hf_util/transfer_control.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace varkel {

namespace {

constexpr double MAX_STALL_SECS = 1e9;

}  // namespace

std::expected<std::chrono::milliseconds, std::string> parse_stall_secs(std::string_view text) {
  double secs = 0;
  const char* end = text.data() + text.size();
  auto [stop, code] = std::from_chars(text.data(), end, secs);
  if (code != std::errc() || stop != end || !std::isfinite(secs) || secs <= 0 || secs > MAX_STALL_SECS)
    return std::unexpected(
        fmt::format("invalid {} \"{}\": expected a positive number of seconds", STALL_LIMIT_VARIABLE, text));
  return std::chrono::milliseconds(static_cast<int64_t>(std::ceil(secs * 1000)));
}

std::expected<std::chrono::milliseconds, std::string> stall_limit_from_env() {
  const char* value = std::getenv(STALL_LIMIT_VARIABLE);
  if (value == nullptr) return DEFAULT_STALL_LIMIT;
  return parse_stall_secs(value);
}

std::string stall_text(std::chrono::milliseconds limit) {
  return fmt::format("no data received for {:g} s", static_cast<double>(limit.count()) / 1000);
}

}  // namespace varkel
