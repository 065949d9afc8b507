#include "hf_util/progress/render.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include <fmt/format.h>

namespace varkel::progress {

namespace {

// Columns a UTF-8 text takes: one per code point (continuation bytes skipped).
size_t columns(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text)
    if ((c & 0xC0) != 0x80) ++n;
  return n;
}

std::string pad_right(std::string text, size_t width) {
  size_t used = columns(text);
  if (used < width) text.append(width - used, ' ');
  return text;
}

std::string pad_left(std::string text, size_t width) {
  size_t used = columns(text);
  if (used < width) text.insert(0, width - used, ' ');
  return text;
}

std::string repeat(std::string_view piece, size_t count) {
  std::string out;
  out.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) out += piece;
  return out;
}

struct Segment {
  std::string text;
  std::string_view colour;  // empty: plain
};

std::string join_cut(const std::vector<Segment>& segments, size_t max_columns) {
  std::string out;
  size_t left = max_columns;
  for (const Segment& s : segments) {
    if (left == 0) break;
    std::string_view text = s.text;
    size_t n = columns(text);
    if (n > left) {
      // Cut after `left` code points.
      size_t kept = 0, i = 0;
      for (; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
          if (kept == left) break;
          ++kept;
        }
      }
      text = text.substr(0, i);
      n = left;
    }
    if (text.empty()) continue;
    if (!s.colour.empty()) out += s.colour;
    out += text;
    if (!s.colour.empty()) out += RESET;
    left -= n;
  }
  return out;
}

std::string human_rate(uint64_t position, double seconds) {
  double rate = seconds > 0.0 ? static_cast<double>(position) / seconds : 0.0;
  return human_bytes(static_cast<uint64_t>(rate)) + "/s";
}

}  // namespace

std::string human_bytes(uint64_t bytes) {
  static constexpr std::array<std::string_view, 6> prefixes = {"Ki", "Mi", "Gi", "Ti", "Pi", "Ei"};
  if (bytes < 1024) return fmt::format("{} B", bytes);
  double value = static_cast<double>(bytes);
  size_t p = 0;
  value /= 1024.0;
  while (value >= 1024.0 && p + 1 < prefixes.size()) {
    value /= 1024.0;
    ++p;
  }
  return fmt::format("{:.2f} {}B", value, prefixes[p]);
}

std::string human_elapsed(double seconds) {
  if (!(seconds > 0.0)) return "0s";
  auto whole = static_cast<uint64_t>(seconds);
  if (whole < 60) return fmt::format("{}s", whole);
  if (whole < 3600) return fmt::format("{}m", whole / 60);
  if (whole < 86400) return fmt::format("{}h", whole / 3600);
  return fmt::format("{}d", whole / 86400);
}

float fraction_done(std::optional<uint64_t> length, uint64_t position) {
  if (!length) return 0.0f;
  if (*length == 0) return 1.0f;
  const float f = static_cast<float>(position) / static_cast<float>(*length);
  return std::clamp(f, 0.0f, 1.0f);
}

std::string render_line(const BarSnapshot& bar, size_t max_columns) {
  std::vector<Segment> segments;
  segments.push_back({pad_right(bar.message, MESSAGE_WIDTH) + " ", {}});
  const float fraction = fraction_done(bar.length, bar.position);
  const float fill = fraction * static_cast<float>(BAR_WIDTH);
  const auto full = std::min(static_cast<size_t>(fill), BAR_WIDTH);
  const size_t edge = (fill > 0.0f && full < BAR_WIDTH) ? 1 : 0;
  std::string done = repeat(BAR_DONE, full);
  if (edge) done += BAR_EDGE;
  segments.push_back({std::move(done), CYAN});
  segments.push_back({repeat(BAR_LEFT, BAR_WIDTH - full - edge), BLUE});
  const auto percent = static_cast<int>(fraction * 100.0f);
  segments.push_back({fmt::format(" {:>3}% {}/{} {} {}", percent, pad_left(human_bytes(bar.position), 10),
                                  pad_right(human_bytes(bar.length.value_or(0)), 10),
                                  pad_left(human_rate(bar.position, bar.elapsed_seconds), 12),
                                  pad_left(human_elapsed(bar.elapsed_seconds), 6)),
                      {}});
  return join_cut(segments, max_columns);
}

}  // namespace varkel::progress
