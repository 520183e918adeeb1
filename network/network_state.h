// Everything one session changed in the system's networking, or must restore.
//
// Rule: a change is recorded here *before* the command that makes it runs, so a
// rollback or teardown started at any point also covers a half-done command.
//
// Ownership: the EngineSession owns the state while the session runs; the bypass
// guard changes the path fields and the ledger only under the SharedState lock;
// teardown works on a state taken out of the session, which no other thread can
// reach any more.
#pragma once

#include <string>
#include <vector>

namespace brenmoor {

// A host route to a server added by the bypass guard (or recorded before deleting
// the route via a superseded path), so that teardown removes it.
struct BypassRoute {
  bool is_ipv6 = false;
  std::string target;           // the server address
  std::string gateway;          // next hop the route points at
  std::string interface_index;  // interface the route uses (decimal text)
  bool operator==(const BypassRoute&) const = default;
};

struct NetworkState {
  std::vector<std::string> ipv4_servers;  // servers whose /32 bypass route was requested
  std::vector<std::string> ipv6_servers;  // servers whose /128 bypass route was requested
  std::string tun_interface_index;
  std::string ipv4_gateway;
  std::string ipv4_interface_index;
  std::string ipv6_gateway;          // empty: no IPv6 physical path
  std::string ipv6_interface_index;  // empty: no IPv6 physical path
  std::vector<std::string> dns_snapshot;  // the adapter's IPv4 DNS servers before, in order
  std::vector<BypassRoute> bypass_routes;  // ledger, in the order recorded
  bool ipv4_split_routes_installed = false;  // set just before the first IPv4 split route

  bool operator==(const NetworkState&) const = default;
};

// Adds the route to the ledger unless an equal record is already there. Records
// are never removed while the session lasts.
inline void record_bypass_route(NetworkState& state, BypassRoute route) {
  for (const auto& r : state.bypass_routes) {
    if (r == route) return;
  }
  state.bypass_routes.push_back(std::move(route));
}

}  // namespace brenmoor
