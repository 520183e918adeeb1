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
[[nodiscard]] Result<std::vector<ResolvedAddress>> resolve_host(std::string_view host, std::string_view port);

}  // namespace brenmoor::platform
