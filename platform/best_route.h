// The system's own choice of route towards one destination, asked without starting
// any process (the bypass guard asks every 2 seconds).
//
// Windows: GetBestInterfaceEx for the interface towards the destination, then
// GetBestRoute2 restricted to that interface index; the row's interface index and
// next hop. Dev host: the same choice (route_choice.h) over the simulated network
// in the netsim state file named by $BRENMOOR_NETSIM, read without a lock (netsim
// replaces the file by rename, so every read sees one whole state).
//
// Both answer nullopt on every failure: an error of either call, interface index
// 0, a next hop of another family than IPv4 or IPv6, no state file, no route.
// Any thread; no state is kept between calls.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/ip.h"

namespace brenmoor::platform {

struct BestRoute {
  std::uint32_t interface_index = 0;
  IpAddress next_hop;  // unspecified (0.0.0.0 / ::) for an on-link route; no zone
  bool operator==(const BestRoute&) const = default;
};

std::optional<BestRoute> best_route(const IpAddress& destination);

}  // namespace brenmoor::platform
