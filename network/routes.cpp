#include "network/routes.h"

#include "service/log.h"

namespace brenmoor {
namespace {

std::string str(std::string_view s) { return std::string(s); }

NetworkCommand route(std::vector<std::string> args) { return NetworkCommand{"route", std::move(args)}; }
NetworkCommand netsh(std::vector<std::string> args) { return NetworkCommand{"netsh", std::move(args)}; }

SetupStep step(NetworkCommand command, SetupRecord record = SetupRecord::none, std::string server = {},
               bool result_ignored = false) {
  return SetupStep{std::move(command), record, std::move(server), result_ignored};
}

NetworkCommand ipv4_host_route_delete(std::string_view target, std::string_view gateway, std::string_view index) {
  return route({"DELETE", str(target), "MASK", "255.255.255.255", str(gateway), "IF", str(index)});
}

std::vector<NetworkCommand> ipv6_host_route_delete(std::string_view target, std::string_view index,
                                                   std::string_view gateway) {
  std::vector<NetworkCommand> out;
  for (const char* store : {"store=active", "store=persistent"}) {
    out.push_back(netsh({"interface", "ipv6", "delete", "route", str(target) + "/128", str(index), str(gateway), store}));
  }
  return out;
}

// Every address the service may have assigned, whichever candidate won: the four
// candidates, the address older releases used, and the IPv6 address.
constexpr std::string_view kCleanupAddresses[] = {"10.88.91.1", "10.203.91.1", "10.241.91.1",
                                                  "172.29.91.1", "172.19.0.1", "fd00:ae91::1"};

}  // namespace

NetworkCommand host_route_add_command(bool is_ipv6, std::string_view target, std::string_view gateway,
                                      std::string_view interface_index) {
  if (is_ipv6) {
    return netsh({"interface", "ipv6", "add", "route", str(target) + "/128", str(interface_index), str(gateway),
                  "metric=1", "store=active"});
  }
  return route({"ADD", str(target), "MASK", "255.255.255.255", str(gateway), "IF", str(interface_index), "METRIC", "1"});
}

std::vector<SetupStep> setup_steps(std::string_view alias, const NetworkState& state,
                                   const std::vector<std::string>& ipv4_servers,
                                   const std::vector<std::string>& ipv6_servers) {
  std::vector<SetupStep> steps;
  const std::string a(alias);
  for (const auto& server : ipv4_servers) {
    // A stale route to the server (ours from a crashed run, or anyone's) would make
    // the add fail; delete it first and ignore the result.
    steps.push_back(step(ipv4_host_route_delete(server, state.ipv4_gateway, state.ipv4_interface_index),
                         SetupRecord::none, {}, true));
    steps.push_back(step(host_route_add_command(false, server, state.ipv4_gateway, state.ipv4_interface_index),
                         SetupRecord::ipv4_server, server));
  }
  if (!state.ipv6_gateway.empty() && !state.ipv6_interface_index.empty()) {
    for (const auto& server : ipv6_servers) {
      for (auto& del : ipv6_host_route_delete(server, state.ipv6_interface_index, state.ipv6_gateway)) {
        steps.push_back(step(std::move(del), SetupRecord::none, {}, true));
      }
      steps.push_back(step(host_route_add_command(true, server, state.ipv6_gateway, state.ipv6_interface_index),
                           SetupRecord::ipv6_server, server));
    }
  }
  steps.push_back(step(netsh({"interface", "ip", "set", "dns", a, "static", str(kTunDnsServer), "primary", "validate=no"})));
  steps.push_back(step(netsh({"interface", "ipv4", "set", "interface", a, "metric=1"})));
  steps.push_back(
      step(route({"ADD", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", state.tun_interface_index, "METRIC", "1"}),
           SetupRecord::ipv4_split_routes));
  steps.push_back(
      step(route({"ADD", "128.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", state.tun_interface_index, "METRIC", "1"})));
  steps.push_back(step(netsh({"interface", "ipv6", "set", "interface", a, "metric=1"})));
  for (const char* prefix : {"::/1", "8000::/1"}) {
    steps.push_back(step(netsh({"interface", "ipv6", "add", "route", prefix, a, "::", "metric=1", "store=active"})));
  }
  return steps;
}

Status run_setup_steps(CommandRunner& runner, const std::vector<SetupStep>& steps, NetworkState& state,
                       const std::function<void(const NetworkState&)>& on_record) {
  for (const auto& step : steps) {
    // Record first: a rollback must also remove what a half-done command made.
    switch (step.record) {
      case SetupRecord::none:
        break;
      case SetupRecord::ipv4_server:
        state.ipv4_servers.push_back(step.server);
        break;
      case SetupRecord::ipv6_server:
        state.ipv6_servers.push_back(step.server);
        break;
      case SetupRecord::ipv4_split_routes:
        state.ipv4_split_routes_installed = true;
        break;
    }
    if (step.record != SetupRecord::none && on_record) on_record(state);
    Status s = runner.run(step.command);
    if (!s && !step.result_ignored) return s;
  }
  return {};
}

std::vector<NetworkCommand> bypass_route_delete_commands(const BypassRoute& r) {
  if (r.is_ipv6) return ipv6_host_route_delete(r.target, r.interface_index, r.gateway);
  return {ipv4_host_route_delete(r.target, r.gateway, r.interface_index)};
}

std::string address_cleanup_script(std::string_view alias) {
  std::string ips;
  for (auto ip : kCleanupAddresses) {
    if (!ips.empty()) ips.push_back(',');
    ips += ps_literal(ip);
  }
  return "$alias=" + ps_literal(alias) + "; $ips=@(" + ips +
         "); foreach ($ip in $ips) { foreach ($store in @('ActiveStore','PersistentStore')) { Remove-NetIPAddress "
         "-InterfaceAlias $alias -IPAddress $ip -PolicyStore $store -Confirm:$false -ErrorAction SilentlyContinue } }";
}

std::vector<NetworkCommand> teardown_commands(const NetworkState& state, std::string_view alias,
                                              bool cleanup_addresses) {
  std::vector<NetworkCommand> out;
  const std::string a(alias);
  if (!state.tun_interface_index.empty() && state.ipv4_split_routes_installed) {
    for (const char* dest : {"0.0.0.0", "128.0.0.0"}) {
      out.push_back(route({"DELETE", dest, "MASK", "128.0.0.0", "0.0.0.0", "IF", state.tun_interface_index}));
    }
  }
  // Always: the IPv6 split routes carry no flag of their own.
  for (const char* prefix : {"::/1", "8000::/1"}) {
    for (const char* store : {"store=active", "store=persistent"}) {
      out.push_back(netsh({"interface", "ipv6", "delete", "route", prefix, a, store}));
    }
  }
  if (cleanup_addresses) out.push_back(powershell_command(address_cleanup_script(alias)));
  for (const auto& server : state.ipv4_servers) {
    out.push_back(ipv4_host_route_delete(server, state.ipv4_gateway, state.ipv4_interface_index));
  }
  for (const auto& server : state.ipv6_servers) {
    for (auto& c : ipv6_host_route_delete(server, state.ipv6_interface_index, state.ipv6_gateway)) {
      out.push_back(std::move(c));
    }
  }
  for (const auto& r : state.bypass_routes) {
    for (auto& c : bypass_route_delete_commands(r)) out.push_back(std::move(c));
  }
  return out;
}

std::vector<NetworkCommand> dns_restore_commands(const std::vector<std::string>& dns_snapshot, std::string_view alias) {
  const std::string a(alias);
  if (dns_snapshot.empty()) return {netsh({"interface", "ip", "set", "dns", a, "dhcp"})};
  std::vector<NetworkCommand> out;
  out.push_back(netsh({"interface", "ip", "set", "dns", a, "static", dns_snapshot.front(), "primary", "validate=no"}));
  for (std::size_t i = 1; i < dns_snapshot.size(); ++i) {
    // netsh inserts at the given position, so each server goes to its own place
    // (index=2, index=3, ...). Adding every one at index=2 would push the earlier
    // ones back and restore A, B, C as A, C, B.
    out.push_back(netsh({"interface", "ip", "add", "dns", a, dns_snapshot[i], "index=" + std::to_string(i + 1),
                         "validate=no"}));
  }
  return out;
}

void teardown_network(CommandRunner& runner, std::string_view alias, const NetworkState& state,
                      bool cleanup_addresses) {
  for (const auto& c : teardown_commands(state, alias, cleanup_addresses)) (void)runner.run(c);
  for (const auto& c : dns_restore_commands(state.dns_snapshot, alias)) {
    if (Status s = runner.run(c); !s) write_log_line("DNS restoration failed: " + s.error());
  }
}

void teardown_network(std::string_view alias, const NetworkState& state, bool cleanup_addresses) {
  teardown_network(system_command_runner(), alias, state, cleanup_addresses);
}

void delete_bypass_route(CommandRunner& runner, const BypassRoute& route) {
  for (const auto& c : bypass_route_delete_commands(route)) (void)runner.run(c);
}

void delete_bypass_route(const BypassRoute& route) { delete_bypass_route(system_command_runner(), route); }

}  // namespace brenmoor
