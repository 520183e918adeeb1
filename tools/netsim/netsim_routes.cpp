#include "platform/ip.h"
#include "platform/route_choice.h"
#include "tools/netsim/netsim_ip.h"
#include "tools/netsim/netsim_state.h"

namespace netsim {
namespace {

brenmoor::platform::IpAddress to_platform(const IpAddress& a) {
  brenmoor::platform::IpAddress out;
  out.is_ipv6 = a.v6;
  out.bytes = a.bytes;
  return out;
}

// The state as the service's route choice sees it. Dead owners were pruned at load.
brenmoor::platform::RouteTable route_table(const State& state) {
  brenmoor::platform::RouteTable table;
  for (const auto& i : state.interfaces) {
    table.interfaces.push_back({static_cast<std::uint32_t>(i.index), i.connected,
                                static_cast<std::uint32_t>(i.ipv4_metric), static_cast<std::uint32_t>(i.ipv6_metric),
                                i.owner_pid});
  }
  for (const auto& r : state.routes) {
    auto prefix = parse_prefix(r.prefix);
    auto hop = parse_ip(r.next_hop);
    if (!prefix || !hop) continue;  // the decoder admits neither
    table.routes.push_back({to_platform(prefix->address), prefix->length, static_cast<std::uint32_t>(r.interface_index),
                            to_platform(*hop), static_cast<std::uint32_t>(r.metric), r.store == Store::kActive});
  }
  return table;
}

}  // namespace

std::optional<BestRoute> best_route(const State& state, std::string_view destination) {
  auto address = parse_ip(destination);
  if (!address) return std::nullopt;
  auto chosen = brenmoor::platform::choose_best_route(route_table(state), to_platform(*address));
  if (!chosen) return std::nullopt;
  return BestRoute{static_cast<int>(chosen->interface_index), brenmoor::platform::format_ip(chosen->next_hop)};
}

void set_connected(State& state, Interface& interface, bool connected) {
  if (interface.connected == connected) return;
  interface.connected = connected;
  const int index = interface.index;
  if (!connected) {
    std::erase_if(state.routes, [&](const Route& r) { return r.interface_index == index && r.store == Store::kActive; });
    return;
  }
  std::vector<Route> restored;
  for (const auto& r : state.routes) {
    if (r.interface_index != index || r.store != Store::kPersistent) continue;
    bool active = false;
    for (const auto& a : state.routes) {
      active = active || (a.store == Store::kActive && a.interface_index == index && a.prefix == r.prefix &&
                          a.next_hop == r.next_hop);
    }
    if (active) continue;
    Route copy = r;
    copy.store = Store::kActive;
    restored.push_back(copy);
  }
  state.routes.insert(state.routes.end(), restored.begin(), restored.end());
}

}  // namespace netsim
