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

#include <cstddef>
#include <string>
#include <vector>

namespace brenmoor {

// A host route to a server added by the bypass guard (or recorded before deleting
// the route via a superseded path), so that teardown removes it. The gateway is
// kept without a zone suffix, in the canonical text of its family.
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

// The most ledger entries a session can hold. The ledger holds each route once and
// loses the entries of routes the service deleted and saw gone, so it holds the
// routes via the path in use plus those whose deletion could not be confirmed: a few
// per server. A move that would need more room is not made (no add without its
// record first), so no ledger the service writes is longer than this.
inline constexpr std::size_t kBypassLedgerLimit = 256;

// Adds the route to the ledger unless an equal record is already there. False (and
// nothing recorded) only when the route is new and the ledger is full.
inline bool record_bypass_route(NetworkState& state, BypassRoute route) {
  for (const auto& r : state.bypass_routes) {
    if (r == route) return true;
  }
  if (state.bypass_routes.size() >= kBypassLedgerLimit) return false;
  state.bypass_routes.push_back(std::move(route));
  return true;
}

// Drops the route's entry: only for a route the service deleted and saw gone.
inline void forget_bypass_route(NetworkState& state, const BypassRoute& route) {
  std::erase(state.bypass_routes, route);
}

}  // namespace brenmoor
