// IPv4/IPv6 text handling for the simulated network. Addresses and prefixes are kept
// in the state in the canonical text form Windows prints (dotted quad; RFC 5952 for
// IPv6: lower case, longest zero run compressed), so text comparisons are exact.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace netsim {

struct IpAddress {
  bool v6 = false;
  std::array<std::uint8_t, 16> bytes{};  // IPv4 uses the first four
  bool operator==(const IpAddress&) const = default;
};

struct IpPrefix {
  IpAddress address;
  int length = 0;
  bool operator==(const IpPrefix&) const = default;
};

std::optional<IpAddress> parse_ipv4(std::string_view text);
// No zone suffix ("%12"): the tools print next hops without one.
std::optional<IpAddress> parse_ipv6(std::string_view text);
std::optional<IpAddress> parse_ip(std::string_view text);
std::string format_ip(const IpAddress& ip);

// "a/n" with host bits zero, as a route destination must be.
std::optional<IpPrefix> parse_prefix(std::string_view text);
// "a/n" where the address may have host bits set, as an interface address does.
std::optional<IpPrefix> parse_address_with_length(std::string_view text);
std::string format_prefix(const IpPrefix& prefix);

// Length of a contiguous dotted IPv4 mask ("255.255.255.0" -> 24), nullopt otherwise.
std::optional<int> ipv4_mask_length(std::string_view mask);
bool host_bits_zero(const IpAddress& ip, int length);
bool is_unspecified(const IpAddress& ip);

// Canonical text of an address, or nullopt when it does not parse.
std::optional<std::string> canonical_ip(std::string_view text);

// Strict non-negative decimal (no sign, no spaces), bounded by max_value.
std::optional<long> parse_decimal(std::string_view text, long max_value);

}  // namespace netsim
