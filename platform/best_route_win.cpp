#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include "platform/best_route_win.h"

#include <netioapi.h>

#include <cstring>

namespace brenmoor::platform {

SOCKADDR_INET to_sockaddr_inet(const IpAddress& address) {
  SOCKADDR_INET sa;
  std::memset(&sa, 0, sizeof sa);
  if (address.is_ipv6) {
    sa.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&sa.Ipv6.sin6_addr, address.bytes.data(), 16);
  } else {
    sa.Ipv4.sin_family = AF_INET;
    std::memcpy(&sa.Ipv4.sin_addr, address.bytes.data(), 4);
  }
  return sa;
}

std::optional<BestRoute> best_route_from_results(DWORD interface_error, DWORD interface_index, DWORD route_error,
                                                 const MIB_IPFORWARD_ROW2& row) {
  if (interface_error != NO_ERROR || interface_index == 0 || route_error != NO_ERROR) return std::nullopt;
  BestRoute r;
  r.interface_index = row.InterfaceIndex;
  switch (row.NextHop.si_family) {
    case AF_INET:
      std::memcpy(r.next_hop.bytes.data(), &row.NextHop.Ipv4.sin_addr, 4);
      return r;
    case AF_INET6:
      r.next_hop.is_ipv6 = true;
      std::memcpy(r.next_hop.bytes.data(), &row.NextHop.Ipv6.sin6_addr, 16);
      return r;
    default:
      return std::nullopt;
  }
}

// GetBestRoute2 is asked for the interface GetBestInterfaceEx chose, with no LUID,
// no source address and no options, so the answer is the route that interface's
// traffic to the destination really takes.
std::optional<BestRoute> best_route(const IpAddress& destination) {
  SOCKADDR_INET target = to_sockaddr_inet(destination);
  DWORD index = 0;
  const DWORD interface_error = GetBestInterfaceEx(reinterpret_cast<sockaddr*>(&target), &index);
  if (interface_error != NO_ERROR || index == 0) return std::nullopt;
  MIB_IPFORWARD_ROW2 row;
  std::memset(&row, 0, sizeof row);
  SOCKADDR_INET source;
  std::memset(&source, 0, sizeof source);
  const DWORD route_error = GetBestRoute2(nullptr, index, nullptr, &target, 0, &row, &source);
  return best_route_from_results(interface_error, index, route_error, row);
}

}  // namespace brenmoor::platform
