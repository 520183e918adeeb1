// The route Windows picks for a destination, over a plain route table. Shared by the
// dev host's best-route backend and netsim's "best-route" verb, so the simulated
// network and the service's view of it cannot drift apart.
//
// The choice: active-store routes of the destination's family on an interface that
// exists and is connected; the longest matching prefix; then the lowest route metric
// plus the interface's metric of that family; then the lower interface index; then
// table order.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/best_route.h"
#include "platform/ip.h"

namespace brenmoor::platform {

struct RouteTableInterface {
  std::uint32_t index = 0;
  bool connected = true;
  std::uint32_t ipv4_metric = 25;
  std::uint32_t ipv6_metric = 25;
  long owner_pid = 0;  // an engine adapter's owner; the caller drops adapters of dead owners
};

struct RouteTableEntry {
  IpAddress prefix;  // host bits may be set; they are ignored
  int prefix_length = 0;
  std::uint32_t interface_index = 0;
  IpAddress next_hop;  // unspecified: on-link
  std::uint32_t metric = 0;
  bool active_store = true;
};

struct RouteTable {
  std::vector<RouteTableInterface> interfaces;
  std::vector<RouteTableEntry> routes;
};

std::optional<BestRoute> choose_best_route(const RouteTable& table, const IpAddress& destination);

// The route table of a netsim state file's JSON (tools/netsim/README.md): members
// left out take their documented defaults, members not needed here are ignored.
// nullopt when the text is not JSON of that shape (a wrong type, a bad address or
// prefix, an interface or metric out of range).
std::optional<RouteTable> parse_route_table_json(std::string_view json);

}  // namespace brenmoor::platform
