#include "network/bypass_guard.h"

#include <algorithm>

#include "engine/engine_session.h"
#include "network/journal.h"
#include "network/routes.h"
#include "platform/ip.h"
#include "service/log.h"

namespace brenmoor {
namespace {

constexpr std::string_view kRefusedLine = "bypass repair refused: preexisting_or_unverified_target_route";

bool is_v6(IpFamily family) { return family == IpFamily::ipv6; }

const std::vector<std::string>& servers_of(const NetworkState& state, IpFamily family) {
  return is_v6(family) ? state.ipv6_servers : state.ipv4_servers;
}

// The address as Windows prints it, so that a text comparison in the route stores
// matches; text that is not an address stays as it is.
std::string canonical(std::string_view address) {
  auto text = platform::canonical_ip_text(address);
  return text ? *text : std::string(address);
}

bool contains(const std::vector<std::string>& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

bool has_ledger_entry(const NetworkState& state, const BypassRoute& route) {
  return std::find(state.bypass_routes.begin(), state.bypass_routes.end(), route) != state.bypass_routes.end();
}

// A route is the service's own only when nothing in either store already holds it.
Result<bool> query_route_absent(CommandRunner& runner, IpFamily family, std::string_view target,
                                const PhysicalPath& path) {
  const std::string prefix = canonical(target) + (is_v6(family) ? "/128" : "/32");
  auto output = runner.run_powershell(route_ownership_script(prefix, path.interface_index, path.next_hop));
  if (!output) return std::unexpected(output.error());
  const std::string_view answer = trim_white_space(*output);
  if (answer == "absent") return true;
  if (answer == "present") return false;
  return fail("route_ownership_query_invalid");
}

std::vector<std::string> looped_servers(const std::vector<std::string>& servers, std::string_view tun_index,
                                        const BestRouteLookup& best_route) {
  std::vector<std::string> looped;
  for (const auto& server : servers) {
    if (route_is_looped(best_route(server), tun_index)) looped.push_back(server);
  }
  return looped;
}

// The path to repair onto, when a loop or a changed recorded path calls for one.
std::optional<PhysicalPath> path_to_repair(CommandRunner& runner, IpFamily family, const NetworkState& snapshot,
                                           const std::vector<std::string>& looped) {
  const PhysicalPath recorded = recorded_physical_path(snapshot, family);
  auto chosen = choose_physical_path(list_physical_paths(runner, family), recorded.interface_index,
                                     snapshot.tun_interface_index);
  if (!chosen) return std::nullopt;
  if (!looped.empty() || *chosen != recorded) return chosen;
  return std::nullopt;
}

// Every server of the family goes through the path now; stops at the first that does not.
bool verified(const NetworkState& state, IpFamily family, const PhysicalPath& path, const BestRouteLookup& best_route) {
  for (const auto& server : servers_of(state, family)) {
    if (!route_uses_path(best_route(server), path)) return false;
  }
  return true;
}

}  // namespace

BestRouteResult best_route_to(std::string_view address) {
  auto parsed = platform::parse_ip_literal(address);
  if (!parsed) return std::nullopt;
  return platform::best_route(*parsed);
}

bool route_is_looped(const BestRouteResult& route, std::string_view tun_interface_index) {
  return route && std::to_string(route->interface_index) == tun_interface_index;
}

bool route_uses_path(const BestRouteResult& route, const PhysicalPath& path) {
  if (!route || std::to_string(route->interface_index) != path.interface_index) return false;
  std::string_view hop = path.next_hop;
  hop = hop.substr(0, hop.find('%'));
  auto parsed = platform::parse_ip_literal(hop);
  return parsed && parsed->is_ipv6 == route->next_hop.is_ipv6 && *parsed == route->next_hop;
}

std::optional<PhysicalPath> choose_physical_path(const std::vector<PhysicalPath>& candidates,
                                                 std::string_view preferred_interface_index,
                                                 std::string_view tun_interface_index) {
  const PhysicalPath* first_usable = nullptr;
  for (const auto& c : candidates) {
    if (c.next_hop.empty() || c.interface_index == tun_interface_index) continue;
    if (c.interface_index == preferred_interface_index) return c;
    if (first_usable == nullptr) first_usable = &c;
  }
  if (first_usable == nullptr) return std::nullopt;
  return *first_usable;
}

PhysicalPath recorded_physical_path(const NetworkState& state, IpFamily family) {
  if (is_v6(family)) return PhysicalPath{state.ipv6_gateway, state.ipv6_interface_index};
  return PhysicalPath{state.ipv4_gateway, state.ipv4_interface_index};
}

void set_physical_path(NetworkState& state, IpFamily family, const PhysicalPath& path) {
  if (is_v6(family)) {
    state.ipv6_gateway = path.next_hop;
    state.ipv6_interface_index = path.interface_index;
  } else {
    state.ipv4_gateway = path.next_hop;
    state.ipv4_interface_index = path.interface_index;
  }
}

std::string route_ownership_script(std::string_view prefix, std::string_view interface_index,
                                   std::string_view next_hop) {
  return "$ErrorActionPreference='Stop'; $routes=@(foreach($store in @('ActiveStore','PersistentStore')){Get-NetRoute "
         "-PolicyStore $store | Where-Object { $_.DestinationPrefix -eq " +
         ps_literal(prefix) + " -and [string]$_.InterfaceIndex -eq " + ps_literal(interface_index) +
         " -and $_.NextHop -eq " + ps_literal(next_hop) +
         " }}); if($routes.Count -gt 0){'present'}else{'absent'}";
}

bool repair_bypass_routes(CommandRunner& runner, IpFamily family, NetworkState& state,
                          const std::vector<std::string>& looped, const PhysicalPath& path,
                          const std::function<void()>& journal) {
  const auto changed = [&] {
    if (journal) journal();
  };
  const bool v6 = is_v6(family);
  const PhysicalPath old = recorded_physical_path(state, family);
  const bool moved = path != old;

  std::vector<std::string> targets;
  for (const auto& server : servers_of(state, family)) {
    if (moved || contains(looped, server)) targets.push_back(server);
  }

  bool failed = false;
  std::vector<std::string> attempted;
  for (const auto& target : targets) {
    const BypassRoute route{v6, target, path.next_hop, path.interface_index};
    // Not moved: the route belongs on the path the bring-up installed it on.
    bool own = !moved || has_ledger_entry(state, route);
    if (!own) {
      auto absent = query_route_absent(runner, family, target, path);
      own = absent && *absent;
    }
    if (!own) {
      write_log_line(kRefusedLine);
      failed = true;
      continue;
    }
    // Record before the command runs, so teardown also covers a half-done add.
    record_bypass_route(state, route);
    changed();
    attempted.push_back(target);
    if (!runner.run(host_route_add_command(v6, target, path.next_hop, path.interface_index))) failed = true;
  }

  if (moved && !failed) {
    for (const auto& target : targets) {
      const BypassRoute superseded{v6, target, old.next_hop, old.interface_index};
      // Recorded first, so that teardown retries a deletion that fails here.
      record_bypass_route(state, superseded);
      changed();
      delete_bypass_route(runner, superseded);
    }
    set_physical_path(state, family, path);
    changed();
  } else if (moved) {
    for (const auto& target : attempted) delete_bypass_route(runner, BypassRoute{v6, target, path.next_hop, path.interface_index});
  }

  write_log_line("bypass route repair family=" + std::string(v6 ? "v6" : "v4") + " moved=" + (moved ? "true" : "false") +
                 " routes=" + std::to_string(targets.size()) + " result=" + (failed ? "add_failed" : "ok"));
  return !failed;
}

GuardLocalState GuardLocalState::starting_at(MonoTime now) {
  GuardLocalState s;
  s.next_check = now;
  s.next_full_check = now + kGuardFullCheckPeriod;
  return s;
}

GuardCycle bypass_guard_cycle(SharedState& state, GuardLocalState& local, const GuardCollaborators& with) {
  std::string token;
  NetworkState snapshot;
  {
    PoisonLock lock(state.mutex());
    if (lock.poisoned() || state.gate().is_stopping()) return GuardCycle::end;
    if (state.gate().is_busy() || !state.slot()) return GuardCycle::keep_running;
    token = state.slot()->session_token;
    snapshot = state.slot()->network_state;
  }
  const MonoTime now = state.clock().now();

  if (token != local.last_session_token) {
    local = GuardLocalState::starting_at(now);
    local.last_session_token = token;
  }
  if (now < local.next_check) return GuardCycle::keep_running;

  const auto looped4 = looped_servers(snapshot.ipv4_servers, snapshot.tun_interface_index, with.best_route);
  const auto looped6 = looped_servers(snapshot.ipv6_servers, snapshot.tun_interface_index, with.best_route);
  const bool looped = !looped4.empty() || !looped6.empty();
  const bool full = now >= local.next_full_check;

  if (!looped && !full) {
    if (local.reported != GuardReport::healthy) write_log_line("bypass route guard result=healthy");
    local.backoff_seconds = kGuardFirstBackoffSeconds;
    local.reported = GuardReport::healthy;
    return GuardCycle::keep_running;
  }
  if (full) local.next_full_check = now + kGuardFullCheckPeriod;

  // Path discovery starts PowerShell: without the lock, at most once per family.
  std::optional<PhysicalPath> repair4, repair6;
  if (!snapshot.ipv4_servers.empty() && (full || !looped4.empty())) {
    repair4 = path_to_repair(with.runner, IpFamily::ipv4, snapshot, looped4);
  }
  if (!snapshot.ipv6_servers.empty() && (full || !looped6.empty())) {
    repair6 = path_to_repair(with.runner, IpFamily::ipv6, snapshot, looped6);
  }

  if (!repair4 && !repair6) {
    if (looped) {
      if (local.reported != GuardReport::waiting) {
        write_log_line("bypass route guard result=waiting_for_physical_path");
      }
      local.next_check = now + (!looped4.empty() ? kGuardIpv4WaitRecheck : kGuardIpv6WaitRecheck);
      local.reported = GuardReport::waiting;
    }
    return GuardCycle::keep_running;
  }

  bool ok = true;
  {
    PoisonLock lock(state.mutex());
    if (lock.poisoned()) return GuardCycle::end;
    // A stop or a new start since the snapshot: the decision no longer applies.
    if (state.gate().is_stopping() || state.gate().is_busy() || !state.slot() ||
        state.slot()->session_token != local.last_session_token) {
      return GuardCycle::keep_running;
    }
    EngineSession& session = *state.slot();
    NetworkState& live = session.network_state;
    const auto journal = [&] { journal_network_state(session.network_journal, session.adapter_alias, live); };
    if (repair4) {
      ok = repair_bypass_routes(with.runner, IpFamily::ipv4, live, looped4, *repair4, journal);
      ok = verified(live, IpFamily::ipv4, *repair4, with.best_route) && ok;
    }
    if (repair6) {
      bool ok6 = repair_bypass_routes(with.runner, IpFamily::ipv6, live, looped6, *repair6, journal);
      ok6 = verified(live, IpFamily::ipv6, *repair6, with.best_route) && ok6;
      ok = ok && ok6;
    }
  }

  if (ok) {
    write_log_line("bypass route guard result=repaired");
    local.backoff_seconds = kGuardFirstBackoffSeconds;
    local.reported = GuardReport::healthy;
  } else {
    if (local.reported != GuardReport::still_looped) write_log_line("bypass route guard result=still_looped");
    local.next_check = now + std::chrono::seconds(local.backoff_seconds);
    local.backoff_seconds = 2 * std::min(local.backoff_seconds, kGuardBackoffCapSeconds / 2);
    local.reported = GuardReport::still_looped;
  }
  return GuardCycle::keep_running;
}

void run_bypass_route_guard(SharedState& state, const GuardCollaborators& with) {
  GuardLocalState local = GuardLocalState::starting_at(state.clock().now());
  for (;;) {
    state.clock().sleep_for(kGuardPeriod);
    if (bypass_guard_cycle(state, local, with) == GuardCycle::end) return;
  }
}

void run_bypass_route_guard(SharedState& state) {
  run_bypass_route_guard(state, GuardCollaborators{system_command_runner(), best_route_to});
}

}  // namespace brenmoor
