#include "platform/ip.h"

namespace brenmoor::platform {

std::string format_ip(const IpAddress& a) {
  const auto& b = a.bytes;
  auto dotted = [&](std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < from + 4; ++i) {
      if (i > from) out += '.';
      out += std::to_string(b[i]);
    }
    return out;
  };
  if (!a.is_ipv6) return dotted(0);

  bool mapped = true;
  for (std::size_t i = 0; i < 10; ++i) mapped = mapped && b[i] == 0;
  if (mapped && b[10] == 0xFF && b[11] == 0xFF) return "::ffff:" + dotted(12);

  unsigned groups[8];
  for (std::size_t i = 0; i < 8; ++i) groups[i] = (static_cast<unsigned>(b[2 * i]) << 8) | b[2 * i + 1];
  // A single zero group is never compressed (RFC 5952, 4.2.2).
  int best_start = -1, best_len = 1;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len) {
      best_start = i;
      best_len = j - i;
    }
    i = j;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const unsigned digit = (groups[i] >> shift) & 0xF;
      if (digit == 0 && !started && shift > 0) continue;
      started = true;
      out += kHex[digit];
    }
  }
  return out;
}

std::optional<std::string> canonical_ip_text(std::string_view text) {
  auto address = parse_ip_literal(text);
  if (!address) return std::nullopt;
  return format_ip(*address);
}

}  // namespace brenmoor::platform
