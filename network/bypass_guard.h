// The bypass route guard: while a session runs, it watches that traffic to the VPN
// server does not loop into the tunnel, and moves the server's host routes to the
// current physical path when that path changes. It never takes over a route it did
// not create: a host route it finds on the new path whose ledger entry no longer
// proves it ours (there is none, or the service deleted that route since), or whose
// absence the route stores do not confirm, is left alone and never recorded. A
// route or interface change (platform/route_change.h) wakes it for a full check.
//
// Threads: one guard thread, started by the service body after the lease watchdog.
// It takes the SharedState lock to copy a snapshot each cycle and holds it for the
// whole of a repair (which runs commands), so that a stop or a new start sees either
// none of a repair or all of its records; the path queries run without it. The time
// it held the lock for a repair is added to the session's lease deadline, so that a
// renewal waiting behind the repair is never beaten to the lock by the watchdog. It
// never works while the lifecycle gate is busy, applies a repair only when the
// session token is still the one its decision was made on, and ends quietly on a
// poisoned lock or once the service is stopping. An exception in a cycle never
// leaves it: it is logged once per run of failing cycles, and never marks the lock
// poisoned (every change made under it is whole: one record, then its command).
//
// Changes to the live NetworkState: the ledger only through record_bypass_route and
// forget_bypass_route, the path fields only through set_physical_path. Next hops
// are stored and compared without a zone suffix, in the canonical text of their
// family (stored_path).
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "control/shared_state.h"
#include "network/command_runner.h"
#include "network/network_state.h"
#include "network/tun_network.h"
#include "platform/best_route.h"
#include "platform/clock.h"

namespace brenmoor {

inline constexpr Duration kGuardPeriod = std::chrono::seconds(2);
inline constexpr Duration kGuardFullCheckPeriod = std::chrono::seconds(30);
inline constexpr Duration kGuardIpv4WaitRecheck = std::chrono::seconds(4);
inline constexpr Duration kGuardIpv6WaitRecheck = std::chrono::seconds(30);
inline constexpr int kGuardFirstBackoffSeconds = 5;
inline constexpr int kGuardBackoffCapSeconds = 60;
// However many route changes arrive, cycles they start early are at least this far apart.
inline constexpr Duration kGuardEarlyCycleSpacing = std::chrono::seconds(1);

using BestRouteResult = std::optional<platform::BestRoute>;
// Best-route lookup by address text; the seam the tests script.
using BestRouteLookup = std::function<BestRouteResult(std::string_view address)>;

// The text parsed as an IP address (nullopt when it is not one), then the
// platform's best route towards it.
BestRouteResult best_route_to(std::string_view address);

// The path as it is stored and compared: the next hop without its zone suffix (from
// "%" on) and in the canonical text of its family; a next hop that is not an address
// stays as it is (it then never matches a route).
PhysicalPath stored_path(const PhysicalPath& path);

// There is a result and its interface index, in decimal, is the TUN index text.
bool route_is_looped(const BestRouteResult& route, std::string_view tun_interface_index);
// There is a result on the path's interface, and the path's next hop (its zone
// suffix from "%" on cut off) is an address of the same family equal to the route's.
bool route_uses_path(const BestRouteResult& route, const PhysicalPath& path);

// The first usable candidate (non-empty next hop, not the TUN adapter) on the
// preferred interface, so the routes stay where they are when they can; else the
// first usable one; else nullopt.
std::optional<PhysicalPath> choose_physical_path(const std::vector<PhysicalPath>& candidates,
                                                 std::string_view preferred_interface_index,
                                                 std::string_view tun_interface_index);

// The state's recorded physical path of the family, and the one place it is replaced.
PhysicalPath recorded_physical_path(const NetworkState& state, IpFamily family);
void set_physical_path(NetworkState& state, IpFamily family, const PhysicalPath& path);

// The query whose trimmed output is "present" when a route with that prefix,
// interface and next hop exists in the active or the persistent store, else "absent".
std::string route_ownership_script(std::string_view prefix, std::string_view interface_index,
                                   std::string_view next_hop);

// Routes of the ledger that the service deleted without seeing them gone: their
// entries stay (teardown deletes them again) but prove nothing about who owns a
// route there now. Kept by the guard thread for one session.
using UnconfirmedDeletions = std::vector<BypassRoute>;

// Moves (or re-adds) the family's host routes onto `path`, on the live state:
// record first, then add; after a move the routes via the old path are recorded and
// deleted and the state takes the new path; a failed move deletes what it added and
// keeps the old path. A route on a new path counts as the service's own without
// asking the route stores only while its ledger entry is there and not in
// `unconfirmed`. A deleted route whose absence the stores confirm loses its entry;
// one they do not confirm goes into `unconfirmed`. A move needs ledger room for all
// its records up front, else nothing is done and the result is "add_failed".
// Logs the repair line; true when the result is "ok". `journal` (may be empty) is
// called after each change to `state`, before the command it records runs, so a
// crash in between is undone at the next start.
bool repair_bypass_routes(CommandRunner& runner, IpFamily family, NetworkState& state,
                          const std::vector<std::string>& looped, const PhysicalPath& path,
                          UnconfirmedDeletions& unconfirmed, const std::function<void()>& journal = {});

// What the guard last wrote to the log.
enum class GuardReport { healthy = 0, waiting = 1, still_looped = 2 };

// Owned by the guard thread alone.
struct GuardLocalState {
  std::string last_session_token;
  MonoTime next_check{};
  MonoTime next_full_check{};
  int backoff_seconds = kGuardFirstBackoffSeconds;
  GuardReport reported = GuardReport::healthy;
  UnconfirmedDeletions unconfirmed;
  bool change_pending = false;  // set by the thread body; the next cycle calls route_changed
  bool cycle_failing = false;  // "cycle failed" logged; not healthy or repaired since

  static GuardLocalState starting_at(MonoTime now);
  // A route or interface changed: the next cycle is a full check and runs at once,
  // unless a failing repair waits out its backoff (it retries with a full check then).
  void route_changed(MonoTime now);
};

struct GuardCollaborators {
  CommandRunner& runner;
  BestRouteLookup best_route;
};

enum class GuardCycle { keep_running, end };

// One cycle after its 2-second sleep, at the state clock's now.
GuardCycle bypass_guard_cycle(SharedState& state, GuardLocalState& local, const GuardCollaborators& with);
// The same with every exception caught: "bypass route guard cycle failed" is logged
// for the first failing cycle since the guard last reported healthy or repaired (or
// the session began), and the guard goes on.
GuardCycle contained_bypass_guard_cycle(SharedState& state, GuardLocalState& local,
                                        const GuardCollaborators& with) noexcept;

// Route or interface changes handed to the guard thread: notify() from any thread
// (the platform's callback), the guard thread waits.
class RouteChangeSignal {
 public:
  void notify();
  // Waits up to `limit` of real (steady) time; true, and the notification consumed,
  // when one arrived before or during the wait.
  bool wait_for(Duration limit);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool pending_ = false;
};

// The thread body: sleep 2 s on the state's clock, run a contained cycle, until it
// ends. With `changes`, the sleep is a wait on them instead: a change ends it at
// once and makes the cycle a full check (route_changed), and cycles started that
// way are kGuardEarlyCycleSpacing apart at least (the rest is slept on the clock).
void run_bypass_route_guard(SharedState& state, const GuardCollaborators& with,
                            RouteChangeSignal* changes = nullptr);

}  // namespace brenmoor
