#include "lanes/addresses.h"

namespace brenmoor {
namespace {

using Bytes = std::array<std::uint8_t, 16>;

bool in_ipv4(const std::uint8_t* a, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, int prefix) {
  const std::uint32_t v = (std::uint32_t{a[0]} << 24) | (std::uint32_t{a[1]} << 16) | (std::uint32_t{a[2]} << 8) | a[3];
  const std::uint32_t net = (std::uint32_t{b0} << 24) | (std::uint32_t{b1} << 16) | (std::uint32_t{b2} << 8);
  const std::uint32_t mask = prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix);
  return (v & mask) == (net & mask);
}

bool ipv4_public(const std::uint8_t* a) {
  if (a[0] == 0 || a[0] == 10 || a[0] == 127) return false;
  if (in_ipv4(a, 169, 254, 0, 16) || in_ipv4(a, 172, 16, 0, 12) || in_ipv4(a, 192, 168, 0, 16)) return false;
  if (in_ipv4(a, 224, 0, 0, 4)) return false;
  if (a[0] == 255 && a[1] == 255 && a[2] == 255 && a[3] == 255) return false;
  return true;
}

bool relay_public(const std::uint8_t* a) {
  if (a[0] == 0 || a[0] == 10 || a[0] == 127 || a[0] >= 224) return false;
  struct Range {
    std::uint8_t b0, b1, b2;
    int prefix;
  };
  static constexpr Range kPrivate[] = {{100, 64, 0, 10},  {169, 254, 0, 16}, {172, 16, 0, 12},   {192, 0, 0, 24},
                                       {192, 0, 2, 24},   {192, 168, 0, 16}, {198, 18, 0, 15},   {198, 51, 100, 24},
                                       {203, 0, 113, 24}};
  for (const Range& r : kPrivate) {
    if (in_ipv4(a, r.b0, r.b1, r.b2, r.prefix)) return false;
  }
  return true;
}

}  // namespace

std::optional<SocketAddress> parse_socket_address(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::string_view port_text = text.substr(colon + 1);
  if (port_text.empty() || port_text.size() > 5) return std::nullopt;
  std::uint32_t port = 0;
  for (char c : port_text) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (port > 65535) return std::nullopt;
  bool want_v6 = false;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    want_v6 = true;
  }
  if (!want_v6 && !platform::is_ipv4_literal(host)) return std::nullopt;  // a bare IPv6 needs its brackets
  auto address = platform::parse_ip_literal(host);
  if (!address || address->is_ipv6 != want_v6) return std::nullopt;
  return SocketAddress{*address, static_cast<std::uint16_t>(port)};
}

bool is_public_address(const platform::IpAddress& address) {
  const Bytes& b = address.bytes;
  if (!address.is_ipv6) return ipv4_public(b.data());
  bool zero_prefix = true;  // first 15 bytes zero: :: or ::1
  for (int i = 0; i < 15; ++i) zero_prefix = zero_prefix && b[i] == 0;
  if (zero_prefix && (b[15] == 0 || b[15] == 1)) return false;
  if (b[0] == 0xFE && (b[1] & 0xC0) == 0x80) return false;  // fe80::/10
  if (b[0] == 0xFF) return false;                            // ff00::/8
  if ((b[0] & 0xFE) == 0xFC) return false;                   // fc00::/7
  bool mapped = b[10] == 0xFF && b[11] == 0xFF;              // ::ffff:a.b.c.d
  for (int i = 0; i < 10; ++i) mapped = mapped && b[i] == 0;
  if (mapped) return ipv4_public(b.data() + 12);
  return true;
}

std::optional<std::string> first_public_ipv4(const std::vector<std::string>& addresses) {
  for (const std::string& text : addresses) {
    if (!platform::is_ipv4_literal(text)) continue;
    auto a = platform::parse_ip_literal(text);
    if (a && relay_public(a->bytes.data())) return text;
  }
  return std::nullopt;
}

}  // namespace brenmoor
