#pragma once
// Text of one progress line:
//   {msg:30} {bar:40.cyan/blue} {percent:>3}% {bytes:>10}/{total_bytes:10} {bytes_per_sec:>12} {elapsed:>6}
// The template has no spinner field: before its length is known a bar is
// drawn empty, at 0%, with a total of 0 B.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace varkel::progress {

inline constexpr size_t BAR_WIDTH = 40;
inline constexpr size_t MESSAGE_WIDTH = 30;
// Done part, leading edge, remaining part.
inline constexpr std::string_view BAR_DONE = "━";
inline constexpr std::string_view BAR_EDGE = "╸";
inline constexpr std::string_view BAR_LEFT = "─";
inline constexpr std::string_view CYAN = "\x1b[36m";
inline constexpr std::string_view BLUE = "\x1b[34m";
inline constexpr std::string_view RESET = "\x1b[0m";

struct BarSnapshot {
  std::string message;
  std::optional<uint64_t> length;  // none: not known yet
  uint64_t position = 0;
  double elapsed_seconds = 0.0;
};

// 1536 -> "1.50 KiB", 1000 -> "1000 B".
std::string human_bytes(uint64_t bytes);
// Whole seconds, minutes, hours or days: "7s", "3m", "2h", "1d".
std::string human_elapsed(double seconds);
// Share done in [0, 1]; a length of 0 counts as complete. Single precision,
// like the bar and the percentage drawn from it: 29 of 100 shows 29%, where
// the double product 0.29 * 100 would truncate to 28.
float fraction_done(std::optional<uint64_t> length, uint64_t position);

// The line, cut to `max_columns` visible columns (colour codes not counted).
std::string render_line(const BarSnapshot& bar, size_t max_columns = std::numeric_limits<size_t>::max());

}  // namespace varkel::progress
