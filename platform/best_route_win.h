// The Windows backend's conversion of IP Helper results, apart from the calls so
// that tests can feed it faked results. Windows only.
#pragma once

#ifndef _WIN32
#error "Windows header included on another platform"
#endif

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>

#include <optional>

#include "platform/best_route.h"

namespace brenmoor::platform {

// The destination as the IP Helper calls take it.
SOCKADDR_INET to_sockaddr_inet(const IpAddress& address);

// The best route from what GetBestInterfaceEx and GetBestRoute2 returned: nullopt on
// an error of either, on interface index 0, or when the row's next hop is neither
// IPv4 nor IPv6. An IPv6 next hop's scope is dropped.
std::optional<BestRoute> best_route_from_results(DWORD interface_error, DWORD interface_index, DWORD route_error,
                                                 const MIB_IPFORWARD_ROW2& row);

}  // namespace brenmoor::platform
