#include "common/utf8.h"

#include <cstdint>

namespace brenmoor {
namespace {

// Length of the valid sequence starting at i, or 0 with `bad` set to the number of
// bytes that form the maximal invalid subpart (always at least 1).
std::size_t decode_one(std::string_view s, std::size_t i, std::size_t& bad) {
  char32_t unused;
  return utf8_decode_at(s, i, unused, bad);
}

}  // namespace

std::size_t utf8_decode_at(std::string_view s, std::size_t i, char32_t& cp, std::size_t& bad) {
  const auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  const std::uint8_t c = b(i);
  bad = 1;
  if (c < 0x80) {
    cp = c;
    return 1;
  }
  std::size_t need;
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) need = 1;
  else if (c == 0xE0) { need = 2; lo = 0xA0; }
  else if (c >= 0xE1 && c <= 0xEC) need = 2;
  else if (c == 0xED) { need = 2; hi = 0x9F; }
  else if (c >= 0xEE && c <= 0xEF) need = 2;
  else if (c == 0xF0) { need = 3; lo = 0x90; }
  else if (c >= 0xF1 && c <= 0xF3) need = 3;
  else if (c == 0xF4) { need = 3; hi = 0x8F; }
  else return 0;
  char32_t value = c & (0x3F >> need);
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) { bad = k; return 0; }
    const std::uint8_t t = b(i + k);
    const std::uint8_t l = (k == 1) ? lo : 0x80, h = (k == 1) ? hi : 0xBF;
    if (t < l || t > h) { bad = k; return 0; }
    value = (value << 6) | (t & 0x3F);
  }
  cp = value;
  return need + 1;
}

bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0, bad = 0;
  while (i < s.size()) {
    // Fast path for ASCII runs.
    if (static_cast<std::uint8_t>(s[i]) < 0x80) { ++i; continue; }
    std::size_t n = decode_one(s, i, bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string utf8_lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0, bad = 0;
  while (i < s.size()) {
    std::size_t n = decode_one(s, i, bad);
    if (n == 0) {
      out.append("\xEF\xBF\xBD");
      i += bad;
    } else {
      out.append(s.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace brenmoor
