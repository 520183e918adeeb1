#include "tools/netsim/netsim_ip.h"

#include <vector>

namespace netsim {

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t pos = text.find(sep, start);
    if (pos == std::string_view::npos) {
      out.push_back(text.substr(start));
      return out;
    }
    out.push_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

// Parses hex groups separated by ':' (an IPv4 tail allowed when allow_v4_tail) into
// 16-bit words; nullopt on any malformed group.
std::optional<std::vector<std::uint16_t>> parse_groups(std::string_view text, bool allow_v4_tail) {
  std::vector<std::uint16_t> words;
  if (text.empty()) return words;
  auto parts = split(text, ':');
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string_view p = parts[i];
    if (allow_v4_tail && i + 1 == parts.size() && p.find('.') != std::string_view::npos) {
      auto v4 = parse_ipv4(p);
      if (!v4) return std::nullopt;
      words.push_back(static_cast<std::uint16_t>(v4->bytes[0] << 8 | v4->bytes[1]));
      words.push_back(static_cast<std::uint16_t>(v4->bytes[2] << 8 | v4->bytes[3]));
      continue;
    }
    if (p.empty() || p.size() > 4) return std::nullopt;
    unsigned v = 0;
    for (char c : p) {
      int h = hex_value(c);
      if (h < 0) return std::nullopt;
      v = v * 16 + static_cast<unsigned>(h);
    }
    words.push_back(static_cast<std::uint16_t>(v));
  }
  return words;
}

}  // namespace

std::optional<long> parse_decimal(std::string_view text, long max_value) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  if (v > max_value) return std::nullopt;
  return v;
}

std::optional<IpAddress> parse_ipv4(std::string_view text) {
  auto parts = split(text, '.');
  if (parts.size() != 4) return std::nullopt;
  IpAddress ip;
  for (int i = 0; i < 4; ++i) {
    if (parts[i].size() > 3) return std::nullopt;
    auto v = parse_decimal(parts[i], 255);
    if (!v) return std::nullopt;
    ip.bytes[i] = static_cast<std::uint8_t>(*v);
  }
  return ip;
}

std::optional<IpAddress> parse_ipv6(std::string_view text) {
  if (text.empty() || text.size() > 45) return std::nullopt;
  std::vector<std::uint16_t> words;
  std::size_t dc = text.find("::");
  if (dc == std::string_view::npos) {
    auto all = parse_groups(text, true);
    if (!all || all->size() != 8) return std::nullopt;
    words = *all;
  } else {
    std::string_view head = text.substr(0, dc);
    std::string_view tail = text.substr(dc + 2);
    if (tail.find("::") != std::string_view::npos) return std::nullopt;
    auto h = parse_groups(head, false);
    auto t = parse_groups(tail, true);
    if (!h || !t || h->size() + t->size() > 7) return std::nullopt;
    words = *h;
    words.resize(8 - t->size(), 0);
    words.insert(words.end(), t->begin(), t->end());
  }
  IpAddress ip;
  ip.v6 = true;
  for (int i = 0; i < 8; ++i) {
    ip.bytes[2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
    ip.bytes[2 * i + 1] = static_cast<std::uint8_t>(words[i] & 0xFF);
  }
  return ip;
}

std::optional<IpAddress> parse_ip(std::string_view text) {
  if (text.find(':') != std::string_view::npos) return parse_ipv6(text);
  return parse_ipv4(text);
}

std::string format_ip(const IpAddress& ip) {
  if (!ip.v6) {
    return std::to_string(ip.bytes[0]) + "." + std::to_string(ip.bytes[1]) + "." +
           std::to_string(ip.bytes[2]) + "." + std::to_string(ip.bytes[3]);
  }
  std::uint16_t w[8];
  for (int i = 0; i < 8; ++i) w[i] = static_cast<std::uint16_t>(ip.bytes[2 * i] << 8 | ip.bytes[2 * i + 1]);
  // RFC 5952: compress the longest run of two or more zero words, the first on a tie.
  int best_start = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    if (w[i] != 0) { ++i; continue; }
    int j = i;
    while (j < 8 && w[j] == 0) ++j;
    if (j - i > best_len && j - i >= 2) { best_start = i; best_len = j - i; }
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
    if (!out.empty() && out.back() != ':') out.push_back(':');
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      int nib = (w[i] >> shift) & 0xF;
      if (nib != 0 || started || shift == 0) {
        out.push_back(kHex[nib]);
        started = true;
      }
    }
  }
  return out;
}

bool host_bits_zero(const IpAddress& ip, int length) {
  int bits = ip.v6 ? 128 : 32;
  for (int b = length; b < bits; ++b) {
    if (ip.bytes[b / 8] & (0x80 >> (b % 8))) return false;
  }
  return true;
}

bool is_unspecified(const IpAddress& ip) {
  for (auto b : ip.bytes) {
    if (b != 0) return false;
  }
  return true;
}

std::optional<IpPrefix> parse_address_with_length(std::string_view text) {
  std::size_t slash = text.rfind('/');
  if (slash == std::string_view::npos) return std::nullopt;
  auto ip = parse_ip(text.substr(0, slash));
  if (!ip) return std::nullopt;
  auto len = parse_decimal(text.substr(slash + 1), ip->v6 ? 128 : 32);
  if (!len || text.size() - slash - 1 > 3) return std::nullopt;
  return IpPrefix{*ip, static_cast<int>(*len)};
}

std::optional<IpPrefix> parse_prefix(std::string_view text) {
  auto p = parse_address_with_length(text);
  if (!p || !host_bits_zero(p->address, p->length)) return std::nullopt;
  return p;
}

std::string format_prefix(const IpPrefix& prefix) {
  return format_ip(prefix.address) + "/" + std::to_string(prefix.length);
}

std::optional<int> ipv4_mask_length(std::string_view mask) {
  auto ip = parse_ipv4(mask);
  if (!ip) return std::nullopt;
  std::uint32_t m = static_cast<std::uint32_t>(ip->bytes[0]) << 24 | static_cast<std::uint32_t>(ip->bytes[1]) << 16 |
                    static_cast<std::uint32_t>(ip->bytes[2]) << 8 | ip->bytes[3];
  int len = 0;
  while (len < 32 && (m & (0x80000000u >> len))) ++len;
  std::uint32_t expect = len == 0 ? 0 : ~0u << (32 - len);
  if (m != expect) return std::nullopt;
  return len;
}

std::optional<std::string> canonical_ip(std::string_view text) {
  auto ip = parse_ip(text);
  if (!ip) return std::nullopt;
  return format_ip(*ip);
}

}  // namespace netsim
