// Address rules of the carrier and datagram lanes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ip.h"

namespace brenmoor {

struct SocketAddress {
  platform::IpAddress address;
  std::uint16_t port = 0;
};

// "a.b.c.d:port" or "[ipv6]:port" (no host names, no zone), port 0..65535 in decimal digits.
std::optional<SocketAddress> parse_socket_address(std::string_view text);

// The carrier lane's rule: false for 0/8, 10/8, 127/8, 169.254/16, 172.16/12,
// 192.168/16, 224/4, 255.255.255.255, ::, ::1, fe80::/10, ff00::/8, fc00::/7, and
// for an IPv4-mapped IPv6 address whose IPv4 address is not public; true otherwise.
bool is_public_address(const platform::IpAddress& address);

// The datagram relay's wider rule: the first dotted IPv4 text of the list outside
// 0/8, 10/8, 100.64/10, 127/8, 169.254/16, 172.16/12, 192.0.0/24, 192.0.2/24,
// 192.168/16, 198.18/15, 198.51.100/24, 203.0.113/24 and everything from 224.0.0.0 up.
std::optional<std::string> first_public_ipv4(const std::vector<std::string>& addresses);

}  // namespace brenmoor
