// Host name resolution through the system resolver (getaddrinfo / GetAddrInfoW).
// Blocking; any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace brenmoor::platform {

inline constexpr std::string_view kResolveFailed = "resolve_failed";

struct ResolvedAddress {
  bool is_ipv6 = false;
  std::string text;  // standard text form (inet_ntop / InetNtopW), no zone
  bool operator==(const ResolvedAddress&) const = default;
};

// Every address the resolver returns for (host, port) as a stream endpoint, in its
// order, duplicates included. Error: kResolveFailed (unknown name, resolver failure,
// a name with an embedded NUL).
// Dev host: as Windows' resolver reads C:\Windows\System32\drivers\etc\hosts before
// asking DNS, this reads {host root}/Windows/System32/drivers/etc/hosts first; a name
// listed there gets exactly the addresses listed for it (hosts_file_addresses).
[[nodiscard]] Result<std::vector<ResolvedAddress>> resolve_host(std::string_view host, std::string_view port);

// The addresses a hosts file lists for `host`, in file order, duplicates included.
// Lines are "address name [name...]", white space separated, "#" starts a comment;
// names compare without regard to ASCII case; an address that is not an IPv4 or IPv6
// literal (a zone suffix included) makes its line count for nothing. Texts come out as
// format_ip writes them.
std::vector<ResolvedAddress> hosts_file_addresses(std::string_view hosts_text, std::string_view host);

}  // namespace brenmoor::platform
