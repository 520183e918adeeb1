#include "network/bypass_guard.h"

#include <algorithm>
#include <exception>
#include <utility>

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

bool contains_route(const std::vector<BypassRoute>& list, const BypassRoute& route) {
  return std::find(list.begin(), list.end(), route) != list.end();
}

bool has_ledger_entry(const NetworkState& state, const BypassRoute& route) {
  return std::find(state.bypass_routes.begin(), state.bypass_routes.end(), route) != state.bypass_routes.end();
}

std::string_view family_prefix_length(IpFamily family) { return is_v6(family) ? "/128" : "/32"; }

// "absent": true; "present": false; anything else, a failure included, is an error.
Result<bool> query_route_absent(CommandRunner& runner, IpFamily family, std::string_view target,
                                const PhysicalPath& path) {
  const std::string prefix = canonical(target) + std::string(family_prefix_length(family));
  auto output = runner.run_powershell(route_ownership_script(prefix, path.interface_index, path.next_hop));
  if (!output) return std::unexpected(output.error());
  const std::string_view answer = trim_white_space(*output);
  if (answer == "absent") return true;
  if (answer == "present") return false;
  return fail("route_ownership_query_invalid");
}

// Deletes a recorded route; its entry goes only once the stores confirm it is gone
// (asked even when a deletion failed: a route whose add had failed is not there).
void delete_and_confirm(CommandRunner& runner, NetworkState& state, const BypassRoute& route,
                        UnconfirmedDeletions& unconfirmed, const std::function<void()>& changed) {
  delete_bypass_route(runner, route);
  auto absent = query_route_absent(runner, route.is_ipv6 ? IpFamily::ipv6 : IpFamily::ipv4, route.target,
                                   PhysicalPath{route.gateway, route.interface_index});
  if (absent && *absent) {
    std::erase(unconfirmed, route);
    forget_bypass_route(state, route);
    changed();
  } else if (!contains_route(unconfirmed, route)) {
    unconfirmed.push_back(route);
  }
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
  const PhysicalPath recorded = stored_path(recorded_physical_path(snapshot, family));
  auto chosen = choose_physical_path(list_physical_paths(runner, family), recorded.interface_index,
                                     snapshot.tun_interface_index);
  if (!chosen) return std::nullopt;
  *chosen = stored_path(*chosen);
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

PhysicalPath stored_path(const PhysicalPath& path) {
  std::string_view hop = path.next_hop;
  hop = hop.substr(0, hop.find('%'));
  return PhysicalPath{canonical(hop), path.interface_index};
}

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
                          const std::vector<std::string>& looped, const PhysicalPath& to,
                          UnconfirmedDeletions& unconfirmed, const std::function<void()>& journal) {
  const auto changed = [&] {
    if (journal) journal();
  };
  const bool v6 = is_v6(family);
  const PhysicalPath path = stored_path(to);
  const PhysicalPath old = stored_path(recorded_physical_path(state, family));
  const bool moved = path != old;

  std::vector<std::string> targets;
  for (const auto& server : servers_of(state, family)) {
    if (moved || contains(looped, server)) targets.push_back(server);
  }

  // Every record of the repair must fit, or a route would be added (or deleted)
  // that teardown does not know of.
  const std::size_t records = targets.size() * (moved ? 2 : 1);
  bool failed = state.bypass_routes.size() + records > kBypassLedgerLimit;
  std::vector<std::string> attempted;
  for (const auto& target : failed ? std::vector<std::string>{} : targets) {
    const BypassRoute route{v6, target, path.next_hop, path.interface_index};
    // Not moved: the route belongs on the path the bring-up installed it on. Moved:
    // the ledger proves it ours only while the service has not deleted it since.
    bool own = !moved || (has_ledger_entry(state, route) && !contains_route(unconfirmed, route));
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
    if (!record_bypass_route(state, route)) {
      failed = true;
      continue;
    }
    std::erase(unconfirmed, route);  // ours again, whatever its earlier deletion did
    changed();
    attempted.push_back(target);
    if (!runner.run(host_route_add_command(v6, target, path.next_hop, path.interface_index))) failed = true;
  }

  if (moved && !failed) {
    for (const auto& target : targets) {
      const BypassRoute superseded{v6, target, old.next_hop, old.interface_index};
      // Recorded first, so that teardown retries a deletion that fails here.
      (void)record_bypass_route(state, superseded);  // room was checked above
      changed();
      delete_and_confirm(runner, state, superseded, unconfirmed, changed);
    }
    set_physical_path(state, family, path);
    changed();
  } else if (moved) {
    for (const auto& target : attempted) {
      delete_and_confirm(runner, state, BypassRoute{v6, target, path.next_hop, path.interface_index}, unconfirmed,
                         changed);
    }
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

void GuardLocalState::route_changed(MonoTime now) {
  next_full_check = std::min(next_full_check, now);
  // A repair that keeps failing keeps its backoff: a change the failing repair
  // makes itself (an add, then its rollback) must not make it retry at once.
  if (reported != GuardReport::still_looped) next_check = std::min(next_check, now);
}

GuardCycle bypass_guard_cycle(SharedState& state, GuardLocalState& local, const GuardCollaborators& with) {
  std::string token;
  NetworkState snapshot;
  // An exception under the lock is carried past it (see the header): the lock stays
  // usable for the stop and the teardown that must still run.
  std::exception_ptr failure;
  {
    PoisonLock lock(state.mutex());
    if (lock.poisoned() || state.gate().is_stopping()) return GuardCycle::end;
    if (state.gate().is_busy() || !state.slot()) return GuardCycle::keep_running;
    try {
      token = state.slot()->session_token;
      snapshot = state.slot()->network_state;
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  const MonoTime now = state.clock().now();

  const bool changed = std::exchange(local.change_pending, false);
  if (token != local.last_session_token) {
    local = GuardLocalState::starting_at(now);
    local.last_session_token = token;
  }
  if (changed) local.route_changed(now);
  if (now < local.next_check) return GuardCycle::keep_running;

  const auto looped4 = looped_servers(snapshot.ipv4_servers, snapshot.tun_interface_index, with.best_route);
  const auto looped6 = looped_servers(snapshot.ipv6_servers, snapshot.tun_interface_index, with.best_route);
  const bool looped = !looped4.empty() || !looped6.empty();
  // A repair that failed is retried as a full check, looped or not, so that a move
  // refused while the old path still works keeps its backoff and its report.
  const bool retry = local.reported == GuardReport::still_looped;
  const bool full = now >= local.next_full_check || retry;

  const auto report_healthy = [&] {
    if (local.reported != GuardReport::healthy) write_log_line("bypass route guard result=healthy");
    local.backoff_seconds = kGuardFirstBackoffSeconds;
    local.reported = GuardReport::healthy;
    local.cycle_failing = false;
  };
  if (!looped && !full) {
    report_healthy();
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
    } else {
      report_healthy();  // the move that kept failing is no longer called for
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
    const MonoTime locked_at = state.clock().now();
    try {
      NetworkState& live = session.network_state;
      const auto journal = [&] { journal_network_state(session.network_journal, session.adapter_alias, live); };
      if (repair4) {
        ok = repair_bypass_routes(with.runner, IpFamily::ipv4, live, looped4, *repair4, local.unconfirmed, journal);
        ok = verified(live, IpFamily::ipv4, *repair4, with.best_route) && ok;
      }
      if (repair6) {
        bool ok6 = repair_bypass_routes(with.runner, IpFamily::ipv6, live, looped6, *repair6, local.unconfirmed, journal);
        ok6 = verified(live, IpFamily::ipv6, *repair6, with.best_route) && ok6;
        ok = ok && ok6;
      }
    } catch (...) {
      failure = std::current_exception();
      ok = false;
    }
    // A renewal that arrived during the repair waited for this lock; the time it
    // waited must not count against the lease it renews.
    session.lease_deadline += state.clock().now() - locked_at;
  }

  if (ok) {
    write_log_line("bypass route guard result=repaired");
    local.backoff_seconds = kGuardFirstBackoffSeconds;
    local.reported = GuardReport::healthy;
    local.cycle_failing = false;
  } else {
    if (local.reported != GuardReport::still_looped) write_log_line("bypass route guard result=still_looped");
    local.next_check = now + std::chrono::seconds(local.backoff_seconds);
    local.backoff_seconds = 2 * std::min(local.backoff_seconds, kGuardBackoffCapSeconds / 2);
    local.reported = GuardReport::still_looped;
  }
  if (failure) std::rethrow_exception(failure);
  return GuardCycle::keep_running;
}

GuardCycle contained_bypass_guard_cycle(SharedState& state, GuardLocalState& local,
                                        const GuardCollaborators& with) noexcept {
  try {
    return bypass_guard_cycle(state, local, with);
  } catch (...) {
    // An allocation failure or a throwing collaborator: logged once until the guard
    // reports healthy or repaired again; the session keeps running and teardown
    // still undoes every recorded route.
    if (!local.cycle_failing) {
      local.cycle_failing = true;
      write_log_line("bypass route guard cycle failed");
    }
    return GuardCycle::keep_running;
  }
}

void RouteChangeSignal::notify() {
  {
    std::lock_guard lock(mutex_);
    pending_ = true;
  }
  cv_.notify_one();
}

bool RouteChangeSignal::wait_for(Duration limit) {
  std::unique_lock lock(mutex_);
  cv_.wait_for(lock, limit, [&] { return pending_; });
  return std::exchange(pending_, false);
}

void run_bypass_route_guard(SharedState& state, const GuardCollaborators& with, RouteChangeSignal* changes) {
  GuardLocalState local = GuardLocalState::starting_at(state.clock().now());
  std::optional<MonoTime> last_early;
  for (;;) {
    if (changes == nullptr) {
      state.clock().sleep_for(kGuardPeriod);
    } else if (changes->wait_for(kGuardPeriod)) {
      // A burst of changes (a link coming up adds many routes) costs one early
      // check per spacing; those arriving meanwhile are taken by the next wait.
      const MonoTime now = state.clock().now();
      if (last_early && now < *last_early + kGuardEarlyCycleSpacing) {
        state.clock().sleep_for(*last_early + kGuardEarlyCycleSpacing - now);
      }
      last_early = state.clock().now();
      local.change_pending = true;
    }
    if (contained_bypass_guard_cycle(state, local, with) == GuardCycle::end) return;
  }
}

}  // namespace brenmoor
