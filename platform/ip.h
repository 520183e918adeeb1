// IP address literals, as the system's own address parser reads them.
#pragma once

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

}  // namespace brenmoor::platform
