#include "hf_util/utf8_lossy.h"

#include <cstdint>

namespace varkel {

namespace {

// Length of the valid sequence starting at `i`, or 0 when it is invalid;
// `bad` then receives how many bytes one U+FFFD replaces (maximal subpart).
size_t valid_sequence(std::string_view s, size_t i, size_t& bad) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  uint8_t c = b(i);
  bad = 1;
  if (c < 0x80) return 1;
  size_t need;
  uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) need = 1;
  else if (c == 0xE0) need = 2, lo = 0xA0;
  else if (c >= 0xE1 && c <= 0xEC) need = 2;
  else if (c == 0xED) need = 2, hi = 0x9F;
  else if (c >= 0xEE && c <= 0xEF) need = 2;
  else if (c == 0xF0) need = 3, lo = 0x90;
  else if (c >= 0xF1 && c <= 0xF3) need = 3;
  else if (c == 0xF4) need = 3, hi = 0x8F;
  else return 0;
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    uint8_t d = b(i + k);
    uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (d < l || d > h) return 0;
    bad = k + 1;
  }
  return need + 1;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 1;
    size_t n = valid_sequence(bytes, i, bad);
    if (n) {
      out.append(bytes.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      i += bad;
    }
  }
  return out;
}

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 1;
    size_t n = valid_sequence(bytes, i, bad);
    if (!n) return false;
    i += n;
  }
  return true;
}

}  // namespace varkel
