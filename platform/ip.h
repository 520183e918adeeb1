// IP address literals, as the system's own address parser reads them.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brenmoor::platform {

// True when the whole text is one IPv4 address in dotted-decimal form (a.b.c.d)
// or one IPv6 address in its standard text form. Brackets, ports, zone suffixes
// ("%eth0"), prefixes ("/24"), surrounding white space and embedded NULs all
// make it false.
bool is_ip_literal(std::string_view text);

// The same test for one family.
bool is_ipv4_literal(std::string_view text);
bool is_ipv6_literal(std::string_view text);

// The address of such a literal, in network byte order (IPv4 uses the first 4 bytes).
struct IpAddress {
  bool is_ipv6 = false;
  std::array<std::uint8_t, 16> bytes{};
  bool operator==(const IpAddress&) const = default;
};
std::optional<IpAddress> parse_ip_literal(std::string_view text);

// The one text form addresses are written and compared in, the one Windows prints:
// dotted decimal for IPv4; for IPv6 RFC 5952 (lower case, no leading zeros, the
// longest run of two or more zero groups compressed, the first of equal runs), with
// an IPv4-mapped address as ::ffff:a.b.c.d.
std::string format_ip(const IpAddress& address);
// format_ip of a literal, or nullopt when the text is not one.
std::optional<std::string> canonical_ip_text(std::string_view text);

}  // namespace brenmoor::platform
