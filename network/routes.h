// The route and netsh command lines that steer traffic into the TUN adapter, the
// order the bring-up runs them in, and the teardown that undoes a NetworkState.
//
// Policy is data: the builders return the exact commands, the run_* functions run
// them through a CommandRunner. Setup and teardown run on the request thread of a
// start or stop, one command at a time.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "network/command_runner.h"
#include "network/network_state.h"

namespace brenmoor {

inline constexpr std::string_view kTunDnsServer = "1.1.1.1";

// What a setup step records in the state before its command runs.
enum class SetupRecord {
  none,
  ipv4_server,        // append `server` to ipv4_servers
  ipv6_server,        // append `server` to ipv6_servers
  ipv4_split_routes,  // set ipv4_split_routes_installed
};

struct SetupStep {
  NetworkCommand command;
  SetupRecord record = SetupRecord::none;
  std::string server;            // for ipv4_server / ipv6_server
  bool result_ignored = false;   // the clean-up deletions before an add
  bool operator==(const SetupStep&) const = default;
};

// The bring-up's route, DNS and metric commands, in order: per IPv4 server delete
// then add its host route via the IPv4 path; per IPv6 server (only when the state
// has both IPv6 path fields) delete from both stores then add via the IPv6 path;
// DNS 1.1.1.1; IPv4 metric; IPv4 split routes; IPv6 metric; IPv6 split routes.
// The paths and the TUN index come from `state`.
std::vector<SetupStep> setup_steps(std::string_view alias, const NetworkState& state,
                                   const std::vector<std::string>& ipv4_servers,
                                   const std::vector<std::string>& ipv6_servers);

// Runs the steps in order, each record made before its command runs; `on_record`
// (the journal) sees the state after each record and before that command. The first
// failing step whose result counts ends the run with the runner's code; the caller
// then rolls back with teardown_network.
[[nodiscard]] Status run_setup_steps(CommandRunner& runner, const std::vector<SetupStep>& steps, NetworkState& state,
                                     const std::function<void(const NetworkState&)>& on_record = {});

// The host route to a server through a path: IPv4 "route ADD ... METRIC 1", IPv6
// "netsh interface ipv6 add route {target}/128 ... store=active".
NetworkCommand host_route_add_command(bool is_ipv6, std::string_view target, std::string_view gateway,
                                      std::string_view interface_index);

// The deletion of one host route: one route command (IPv4) or netsh for the
// active and then the persistent store (IPv6).
std::vector<NetworkCommand> bypass_route_delete_commands(const BypassRoute& route);

// The PowerShell script that removes every address the service may have put on the
// adapter (the four candidates, 172.19.0.1 and fd00:ae91::1) from both stores.
std::string address_cleanup_script(std::string_view alias);

// Teardown steps 1-4: split routes, TUN addresses (when cleanup_addresses), server
// routes, ledger routes. Failures of these are ignored.
std::vector<NetworkCommand> teardown_commands(const NetworkState& state, std::string_view alias,
                                              bool cleanup_addresses);
// Teardown step 5: put the DNS snapshot back: the first server as primary, each
// further one at its own position (index=2, index=3, ...), so the order is the
// snapshot's; DHCP when the snapshot is empty.
std::vector<NetworkCommand> dns_restore_commands(const std::vector<std::string>& dns_snapshot, std::string_view alias);

// Undoes everything the state records. Never fails; only failed DNS restore commands
// are logged ("DNS restoration failed: {code}"). Harmless to run twice.
void teardown_network(CommandRunner& runner, std::string_view alias, const NetworkState& state,
                      bool cleanup_addresses);
void teardown_network(std::string_view alias, const NetworkState& state, bool cleanup_addresses);

// Deletes one recorded host route; failures are ignored.
void delete_bypass_route(CommandRunner& runner, const BypassRoute& route);
void delete_bypass_route(const BypassRoute& route);

}  // namespace brenmoor
