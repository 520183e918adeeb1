// The bypass route guard's cycle and repair on a manual clock, against a scripted
// best-route lookup and a recording runner that keeps a small table of host routes,
// so that a repair's effect is what the verification sees.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <set>
#include <thread>

#include "control/dispatcher.h"
#include "network/bypass_guard.h"
#include "network/journal.h"
#include "network/routes.h"
#include "network_fakes.h"
#include "platform/ip.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;
using platform::BestRoute;

platform::IpAddress ip(std::string_view text) { return *platform::parse_ip_literal(text); }

constexpr const char* kServer = "203.0.113.5";
constexpr const char* kServer6 = "2001:db8::5";
constexpr const char* kTun = "15";

// Host routes to the servers, changed by the commands the guard runs. A server
// without one follows the split routes into the TUN adapter.
struct FakeNet {
  struct Via {
    std::string gateway, index;
  };
  std::map<std::string, std::vector<Via>> host_routes;
  std::set<std::string> failing_adds;  // targets whose add fails
  bool lookups_fail = false;

  BestRouteResult lookup(std::string_view server) const {
    if (lookups_fail) return std::nullopt;
    auto it = host_routes.find(std::string(server));
    if (it == host_routes.end() || it->second.empty()) {
      return BestRoute{15, ip(server.find(':') != std::string_view::npos ? "::" : "0.0.0.0")};
    }
    const Via& v = it->second.back();
    return BestRoute{static_cast<std::uint32_t>(std::stoul(v.index)), ip(v.gateway.substr(0, v.gateway.find('%')))};
  }

  // The ownership query as the route stores answer it: "present" when the table
  // holds a route to the target through that interface and next hop.
  std::optional<std::string> ownership(std::string_view script) const {
    for (const auto& [target, vias] : host_routes) {
      const std::string prefix = *platform::canonical_ip_text(target) + (target.find(':') != std::string::npos ? "/128" : "/32");
      for (const Via& v : vias) {
        if (script == route_ownership_script(prefix, v.index, v.gateway)) return std::string("present\r\n");
      }
    }
    if (script.find("Get-NetRoute -PolicyStore") != std::string_view::npos) return std::string("absent\r\n");
    return std::nullopt;
  }

  Status apply(const NetworkCommand& c) {
    const auto& a = c.args;
    std::string target, gateway, index;
    bool add = false;
    if (c.program == "route") {
      add = a[0] == "ADD";
      target = a[1], gateway = a[4], index = a[6];
    } else if (c.program == "netsh" && a.size() >= 7 && a[1] == "ipv6") {
      add = a[2] == "add";
      target = a[4].substr(0, a[4].find('/')), index = a[5], gateway = a[6];
    } else {
      return {};
    }
    auto& list = host_routes[target];
    if (add) {
      if (failing_adds.count(target)) return fail(kCommandFailed);
      list.push_back({gateway, index});
      return {};
    }
    auto gone = std::erase_if(list, [&](const Via& v) { return v.gateway == gateway && v.index == index; });
    return gone > 0 ? Status{} : fail(kCommandFailed);
  }
};

// Sessions that keep what a stop was handed, so that a test sees what teardown gets.
class KeepingSessions final : public SessionBackend {
 public:
  Status validate_start_request(const ServiceRequest&) override { return {}; }
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest&) override {
    return fail("unused");
  }
  void stop_engine_session(std::unique_ptr<EngineSession> session) override {
    std::lock_guard l(mutex);
    stopped.push_back(session->network_state);
  }
  bool engine_exited(EngineSession&) override { return false; }
  std::mutex mutex;
  std::vector<NetworkState> stopped;
};

class GuardTest : public testing::Test {
 protected:
  void SetUp() override {
    runner_.on_run = [this](const NetworkCommand& c) { return net_.apply(c); };
    runner_.on_query = [this](std::string_view script) -> Result<std::string> {
      if (script == physical_paths_script(IpFamily::ipv4)) return paths4_;
      if (script == physical_paths_script(IpFamily::ipv6)) return paths6_;
      if (on_path_query) on_path_query();
      if (!ownership_.empty()) return ownership_;
      auto answer = net_.ownership(script);
      return answer ? *answer : Result<std::string>(fail("unknown_query"));
    };
    set_session("token-1", {kServer}, {});
  }

  void set_session(const std::string& token, std::vector<std::string> v4, std::vector<std::string> v6) {
    auto s = std::make_unique<test::FakeSession>();
    s->session_token = token;
    NetworkState& n = s->network_state;
    n.ipv4_servers = std::move(v4);
    n.ipv6_servers = std::move(v6);
    n.tun_interface_index = kTun;
    n.ipv4_gateway = "192.168.1.1";
    n.ipv4_interface_index = "12";
    n.ipv6_gateway = "fe80::1";
    n.ipv6_interface_index = "12";
    net_.host_routes.clear();
    for (const auto& v : n.ipv4_servers) net_.host_routes[v] = {{"192.168.1.1", "12"}};
    for (const auto& v : n.ipv6_servers) net_.host_routes[v] = {{"fe80::1", "12"}};
    PoisonLock l(state_.mutex());
    state_.slot() = std::move(s);
  }
  NetworkState& live() { return state_.slot()->network_state; }

  // One cycle after its 2-second sleep.
  GuardCycle cycle() {
    clock_.advance(kGuardPeriod);
    return bypass_guard_cycle(state_, local_, with_);
  }
  void cycles_for(Duration d) {
    for (Duration t{}; t < d; t += kGuardPeriod) ASSERT_EQ(cycle(), GuardCycle::keep_running);
  }
  // The IPv4 default route moves to `to`; cycles run for `d`.
  void move_to(const PhysicalPath& to, Duration d) {
    paths4_ = to.next_hop + "," + to.interface_index + "\r\n";
    cycles_for(d);
  }
  int count_calls(const NetworkCommand& c) const {
    return static_cast<int>(std::count(runner_.calls.begin(), runner_.calls.end(), c));
  }
  int changes() const {
    return static_cast<int>(std::count_if(runner_.calls.begin(), runner_.calls.end(),
                                          [](const NetworkCommand& c) { return c.program != "query"; }));
  }
  std::vector<std::string> guard_lines() const {
    std::vector<std::string> out;
    for (auto& m : log_.messages()) {
      if (m.starts_with("bypass")) out.push_back(m);
    }
    return out;
  }

  test::ManualClock clock_;
  LifecycleGate gate_;
  KeepingSessions sessions_;
  test::FakeLanes lanes_;
  SharedState state_{gate_, sessions_, lanes_, clock_};
  FakeNet net_;
  test::RecordingRunner runner_;
  GuardCollaborators with_{runner_, [this](std::string_view s) { return net_.lookup(s); }};
  GuardLocalState local_ = GuardLocalState::starting_at(clock_.now());
  std::string paths4_ = "192.168.1.1,12\r\n";
  std::string paths6_ = "fe80::1,12\r\n";
  std::string ownership_;  // empty: the stores answer from the route table
  std::function<void()> on_path_query;
  test::LogMark log_;
};

const NetworkCommand kPaths4 = test::query(physical_paths_script(IpFamily::ipv4));
const NetworkCommand kPaths6 = test::query(physical_paths_script(IpFamily::ipv6));

TEST_F(GuardTest, StableSessionLogsNothingAndQueriesThePathOncePerThirtySeconds) {
  cycles_for(92s);  // the session is first seen at 2 s: full checks at 32, 62, 92 s
  EXPECT_EQ(count_calls(kPaths4), 3);
  EXPECT_EQ(count_calls(kPaths6), 0);  // no IPv6 server: never the IPv6 query
  EXPECT_EQ(changes(), 0);
  EXPECT_TRUE(guard_lines().empty());
}

TEST_F(GuardTest, GatewayMoveIsFollowedByTheFullCheck) {
  paths4_ = "192.168.7.1,7\r\n";
  cycles_for(32s);
  const std::vector<NetworkCommand> expected = {
      kPaths4,
      test::query(route_ownership_script("203.0.113.5/32", "7", "192.168.7.1")),
      host_route_add_command(false, kServer, "192.168.7.1", "7"),
      bypass_route_delete_commands({false, kServer, "192.168.1.1", "12"}).front(),
      test::query(route_ownership_script("203.0.113.5/32", "12", "192.168.1.1")),  // gone: its entry goes
  };
  EXPECT_EQ(runner_.calls, expected);
  EXPECT_EQ(live().bypass_routes, (std::vector<BypassRoute>{{false, kServer, "192.168.7.1", "7"}}));
  EXPECT_EQ(recorded_physical_path(live(), IpFamily::ipv4), (PhysicalPath{"192.168.7.1", "7"}));
  EXPECT_EQ(guard_lines(), (std::vector<std::string>{"bypass route repair family=v4 moved=true routes=1 result=ok",
                                                     "bypass route guard result=repaired"}));
  runner_.calls.clear();
  cycles_for(30s);  // the next full check finds the recorded path: nothing happens
  EXPECT_EQ(runner_.calls, std::vector<NetworkCommand>{kPaths4});
}

// A journal that keeps every state it is handed, with the number of commands run
// by then, so that "written before its command runs" can be checked.
struct RecordingJournal : NetworkJournal {
  explicit RecordingJournal(const test::RecordingRunner& r) : NetworkJournal("unused"), runner(r) {}
  void record(std::string_view, const NetworkState& state) override {
    writes.push_back({runner.calls.size(), state});
  }
  void remove() override {}
  const test::RecordingRunner& runner;
  std::vector<std::pair<std::size_t, NetworkState>> writes;
};

TEST_F(GuardTest, EveryChangeOfAMoveIsJournaledBeforeItsCommandRuns) {
  RecordingJournal journal(runner_);
  state_.slot()->network_journal = &journal;
  paths4_ = "192.168.7.1,7\r\n";
  cycles_for(32s);
  ASSERT_EQ(runner_.calls.size(), 5u);  // path query, ownership query, add via B, delete via A, its check
  const BypassRoute via_b{false, kServer, "192.168.7.1", "7"};
  const BypassRoute via_a{false, kServer, "192.168.1.1", "12"};
  const auto journaled_before = [&](std::size_t command, const BypassRoute& route) {
    for (const auto& [ran, state] : journal.writes) {
      if (ran <= command && std::find(state.bypass_routes.begin(), state.bypass_routes.end(), route) !=
                                state.bypass_routes.end())
        return true;
    }
    return false;
  };
  EXPECT_TRUE(journaled_before(2, via_b));
  EXPECT_TRUE(journaled_before(3, via_a));
  EXPECT_EQ(live().bypass_routes, std::vector<BypassRoute>{via_b});  // via A confirmed gone
  ASSERT_FALSE(journal.writes.empty());
  EXPECT_EQ(journal.writes.back().second, live());  // the new path included
}

TEST_F(GuardTest, DroppedHostRouteIsReaddedOnTheSamePathWithoutAskingTheStores) {
  set_session("token-1", {kServer, "203.0.113.6"}, {});
  net_.host_routes.erase(kServer);
  ASSERT_EQ(cycle(), GuardCycle::keep_running);
  const std::vector<NetworkCommand> expected = {kPaths4, host_route_add_command(false, kServer, "192.168.1.1", "12")};
  EXPECT_EQ(runner_.calls, expected);  // only the looped server; no ownership query
  EXPECT_EQ(live().bypass_routes, (std::vector<BypassRoute>{{false, kServer, "192.168.1.1", "12"}}));
  EXPECT_EQ(guard_lines(), (std::vector<std::string>{"bypass route repair family=v4 moved=false routes=1 result=ok",
                                                     "bypass route guard result=repaired"}));
}

TEST_F(GuardTest, PreexistingRouteOnTheNewPathIsRefusedAndRetriedWithBackoff) {
  paths4_ = "192.168.7.1,7\r\n";
  ownership_ = "present\r\n";
  net_.host_routes.erase(kServer);  // looped: no waiting for the full check
  std::vector<Duration> waits;
  for (int attempt = 0; attempt < 7; ++attempt) {
    const auto before = count_calls(kPaths4);
    while (count_calls(kPaths4) == before) ASSERT_EQ(cycle(), GuardCycle::keep_running);
    waits.push_back(local_.next_check - clock_.now());
  }
  EXPECT_EQ(waits, (std::vector<Duration>{5s, 10s, 20s, 40s, 60s, 60s, 60s}));
  EXPECT_EQ(changes(), 0);  // neither added nor deleted
  EXPECT_TRUE(live().bypass_routes.empty());
  EXPECT_EQ(recorded_physical_path(live(), IpFamily::ipv4), (PhysicalPath{"192.168.1.1", "12"}));
  const auto lines = guard_lines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
            (std::vector<std::string>{"bypass repair refused: preexisting_or_unverified_target_route",
                                      "bypass route repair family=v4 moved=true routes=1 result=add_failed",
                                      "bypass route guard result=still_looped",
                                      "bypass repair refused: preexisting_or_unverified_target_route"}));
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "bypass route guard result=still_looped"), 1);

  // The route goes away; the next attempt moves and the backoff starts again at 5 s.
  ownership_ = "absent\r\n";
  while (local_.reported != GuardReport::healthy) ASSERT_EQ(cycle(), GuardCycle::keep_running);
  EXPECT_EQ(guard_lines().back(), "bypass route guard result=repaired");
  EXPECT_EQ(local_.backoff_seconds, 5);
}

TEST_F(GuardTest, OwnershipQueryAnswersOtherThanAbsentRefuse) {
  const Result<std::string> answers[] = {std::string("present"), std::string(" present\r\n"), std::string("maybe"),
                                         std::string(""), fail(kCommandTimeout)};
  for (const auto& answer : answers) {
    NetworkState s;
    s.ipv4_servers = {kServer};
    s.ipv4_gateway = "192.168.1.1";
    s.ipv4_interface_index = "12";
    test::RecordingRunner r;
    r.on_query = [&](std::string_view) { return answer; };
    UnconfirmedDeletions unconfirmed;
    EXPECT_FALSE(repair_bypass_routes(r, IpFamily::ipv4, s, {}, {"192.168.7.1", "7"}, unconfirmed));
    EXPECT_EQ(r.calls.size(), 1u);
    EXPECT_TRUE(s.bypass_routes.empty());
  }
}

TEST_F(GuardTest, WaitingForAPhysicalPathRechecksByFamily) {
  struct Row {
    const char* name;
    bool v4_looped;
    Duration recheck;
  };
  for (const Row& row : {Row{"ipv4_looped", true, 4s}, Row{"only_ipv6_looped", false, 30s}}) {
    SCOPED_TRACE(row.name);
    set_session(std::string("token-") + row.name, {kServer}, {kServer6});
    runner_.calls.clear();
    paths4_ = paths6_ = "";  // no default route at all
    net_.host_routes.erase(row.v4_looped ? kServer : kServer6);
    const test::LogMark mark;
    ASSERT_EQ(cycle(), GuardCycle::keep_running);
    EXPECT_EQ(local_.next_check - clock_.now(), row.recheck);
    cycles_for(60s);
    const NetworkCommand& looped_query = row.v4_looped ? kPaths4 : kPaths6;
    EXPECT_EQ(count_calls(looped_query), 1 + static_cast<int>(60s / row.recheck));
    paths4_ = "192.168.1.1,12\r\n";
    paths6_ = "fe80::1,12\r\n";
    while (local_.reported != GuardReport::healthy) ASSERT_EQ(cycle(), GuardCycle::keep_running);
    std::vector<std::string> lines;
    for (auto& m : mark.messages()) {
      if (m.starts_with("bypass route guard")) lines.push_back(m);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"bypass route guard result=waiting_for_physical_path",
                                               "bypass route guard result=repaired"}));
  }
}

TEST_F(GuardTest, Ipv6RepairUsesNetshAndTheCanonicalPrefix) {
  set_session("token-1", {}, {"2001:DB8:0::5"});  // as a caller might have kept it
  paths6_ = "FE80:0::7%7,7\r\n";
  cycles_for(32s);
  ASSERT_GE(runner_.calls.size(), 3u);
  EXPECT_EQ(runner_.calls[0], kPaths6);
  // The next hop without its zone, in canonical text: as the stores print it.
  EXPECT_EQ(runner_.calls[1], test::query(route_ownership_script("2001:db8::5/128", "7", "fe80::7")));
  EXPECT_EQ(runner_.calls[2], host_route_add_command(true, "2001:DB8:0::5", "fe80::7", "7"));
  EXPECT_EQ(count_calls(kPaths4), 0);
  EXPECT_EQ(live().ipv6_gateway, "fe80::7");
  for (const auto& r : live().bypass_routes) EXPECT_EQ(r.gateway.find('%'), std::string::npos) << r.gateway;
}

TEST_F(GuardTest, RecordedNextHopWithAZoneIsNotAMove) {
  set_session("token-1", {}, {kServer6});
  live().ipv6_gateway = "FE80::1%12";  // the same path, as the bring-up may have kept it
  paths6_ = "fe80::1,12\r\n";
  cycles_for(32s);
  EXPECT_EQ(runner_.calls, std::vector<NetworkCommand>{kPaths6});
  EXPECT_TRUE(guard_lines().empty());
}

TEST_F(GuardTest, FailedMoveDeletesWhatItAddedAndKeepsTheOldPath) {
  set_session("token-1", {kServer, "203.0.113.6"}, {});
  net_.failing_adds = {"203.0.113.6"};
  paths4_ = "192.168.7.1,7\r\n";
  cycles_for(32s);
  EXPECT_EQ(count_calls(bypass_route_delete_commands({false, kServer, "192.168.7.1", "7"}).front()), 1);
  // The target whose add failed is rolled back too: its add may have half-happened.
  EXPECT_EQ(count_calls(bypass_route_delete_commands({false, "203.0.113.6", "192.168.7.1", "7"}).front()), 1);
  EXPECT_EQ(count_calls(bypass_route_delete_commands({false, kServer, "192.168.1.1", "12"}).front()), 0);
  EXPECT_EQ(recorded_physical_path(live(), IpFamily::ipv4), (PhysicalPath{"192.168.1.1", "12"}));
  EXPECT_EQ(net_.lookup(kServer), (BestRoute{12, ip("192.168.1.1")}));
  // Both confirmed gone: their entries go; the old path's routes were never recorded.
  EXPECT_TRUE(live().bypass_routes.empty());
  EXPECT_EQ(guard_lines(), (std::vector<std::string>{"bypass route repair family=v4 moved=true routes=2 result=add_failed",
                                                     "bypass route guard result=still_looped"}));
}

TEST_F(GuardTest, RepairThatCannotBeVerifiedIsStillLooped) {
  net_.host_routes.erase(kServer);
  net_.lookups_fail = false;
  runner_.on_run = [this](const NetworkCommand&) {
    net_.lookups_fail = true;  // the add "works", the lookup then fails
    return Status{};
  };
  ASSERT_EQ(cycle(), GuardCycle::keep_running);
  EXPECT_EQ(guard_lines(), (std::vector<std::string>{"bypass route repair family=v4 moved=false routes=1 result=ok",
                                                     "bypass route guard result=still_looped"}));
  // A failing lookup is not a loop: the next check finds nothing to do and reports healthy.
  cycles_for(6s);
  EXPECT_EQ(guard_lines().back(), "bypass route guard result=healthy");
}

TEST_F(GuardTest, StopOrNewStartDuringTheCheckCancelsTheRepair) {
  struct Row {
    const char* name;
    std::function<void()> meanwhile;
    GuardCycle next;
  };
  std::optional<LifecycleGuard> held;
  const Row rows[] = {
      {"lifecycle_busy", [&] { held.emplace(std::move(*gate_.acquire_lifecycle_guard())); },
       GuardCycle::keep_running},
      {"new_session", [this] { state_.slot()->session_token = "token-2"; }, GuardCycle::keep_running},
      {"stopping", [this] { gate_.set_stopping(); }, GuardCycle::end},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    set_session(std::string("token-") + row.name, {kServer}, {});
    net_.host_routes.erase(kServer);
    runner_.calls.clear();
    runner_.on_query = [&](std::string_view) -> Result<std::string> {
      row.meanwhile();
      return std::string("192.168.1.1,12\r\n");
    };
    ASSERT_EQ(cycle(), GuardCycle::keep_running);
    EXPECT_EQ(runner_.calls, std::vector<NetworkCommand>{kPaths4});  // no add
    EXPECT_TRUE(live().bypass_routes.empty());
    held.reset();
    runner_.calls.clear();
    runner_.on_query = [](std::string_view) -> Result<std::string> { return std::string("192.168.1.1,12\r\n"); };
    EXPECT_EQ(cycle(), row.next);
  }
}

TEST_F(GuardTest, CycleEndsOnPoisonOrStoppingAndIdlesWhileBusyOrWithoutSession) {
  {
    auto guard = gate_.acquire_lifecycle_guard();
    net_.host_routes.erase(kServer);
    EXPECT_EQ(cycle(), GuardCycle::keep_running);
  }
  {
    PoisonLock l(state_.mutex());
    state_.slot().reset();
  }
  EXPECT_EQ(cycle(), GuardCycle::keep_running);
  EXPECT_TRUE(runner_.calls.empty());
  try {
    PoisonLock l(state_.mutex());
    throw std::runtime_error("holder ends abnormally");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(cycle(), GuardCycle::end);

  LifecycleGate gate;
  SharedState other{gate, sessions_, lanes_, clock_};
  gate.set_stopping();
  EXPECT_EQ(bypass_guard_cycle(other, local_, with_), GuardCycle::end);

  // A gate whose lock is poisoned counts as stopping.
  LifecycleGate poisoned_gate;
  SharedState third{poisoned_gate, sessions_, lanes_, clock_};
  try {
    PoisonLock l(poisoned_gate.mutex());
    throw std::runtime_error("gate holder ends abnormally");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(bypass_guard_cycle(third, local_, with_), GuardCycle::end);
}

TEST_F(GuardTest, ThreadBodySleepsTwoSecondsPerCycleUntilStopping) {
  test::SteppingClock stepping;
  LifecycleGate gate;
  SharedState other{gate, sessions_, lanes_, stepping};
  test::RecordingRunner r;
  int lookups = 0;
  GuardCollaborators with{r, [&](std::string_view) -> BestRouteResult {
                            if (++lookups == 3) gate.set_stopping();
                            return std::nullopt;
                          }};
  {
    auto s = std::make_unique<test::FakeSession>();
    s->session_token = "t";
    s->network_state.ipv4_servers = {kServer};
    PoisonLock l(other.mutex());
    other.slot() = std::move(s);
  }
  run_bypass_route_guard(other, with);
  EXPECT_EQ(stepping.sleeps(), (std::vector<Duration>{2s, 2s, 2s, 2s}));
  EXPECT_TRUE(r.calls.empty());
}

TEST_F(GuardTest, NotMovedRepairThatFailsUndoesNothing) {
  set_session("token-1", {kServer, "203.0.113.6"}, {});
  net_.host_routes.clear();  // both looped
  net_.failing_adds = {"203.0.113.6"};
  ASSERT_EQ(cycle(), GuardCycle::keep_running);
  EXPECT_EQ(changes(), 2);  // the two adds; no deletion of either
  EXPECT_EQ(live().bypass_routes, (std::vector<BypassRoute>{{false, kServer, "192.168.1.1", "12"},
                                                            {false, "203.0.113.6", "192.168.1.1", "12"}}));
  EXPECT_EQ(net_.lookup(kServer), (BestRoute{12, ip("192.168.1.1")}));
  EXPECT_EQ(guard_lines(), (std::vector<std::string>{"bypass route repair family=v4 moved=false routes=2 result=add_failed",
                                                     "bypass route guard result=still_looped"}));
}

// A move refused while the old path still works: nothing loops, yet the retries keep
// their backoff and the report its edge, instead of "healthy" every few seconds.
TEST_F(GuardTest, RefusedMoveWithoutALoopKeepsItsBackoffAndItsReport) {
  paths4_ = "192.168.7.1,7\r\n";
  net_.host_routes[kServer].insert(net_.host_routes[kServer].begin(), {"192.168.7.1", "7"});  // someone else's
  const NetworkCommand asked = test::query(route_ownership_script("203.0.113.5/32", "7", "192.168.7.1"));
  std::vector<Duration> waits;
  const MonoTime start = clock_.now();
  MonoTime first{};
  for (int i = 0; i < 150; ++i) {  // 300 s
    const auto before = count_calls(asked);
    ASSERT_EQ(cycle(), GuardCycle::keep_running);
    if (count_calls(asked) == before) continue;
    if (waits.empty()) first = clock_.now();
    waits.push_back(local_.next_check - clock_.now());
  }
  EXPECT_EQ(first - start, 32s);  // the first full check
  ASSERT_GE(waits.size(), 6u);
  EXPECT_EQ(std::vector<Duration>(waits.begin(), waits.begin() + 6), (std::vector<Duration>{5s, 10s, 20s, 40s, 60s, 60s}));
  const auto lines = guard_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "bypass route guard result=still_looped"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "bypass route guard result=healthy"), 0);
  EXPECT_EQ(changes(), 0);

  // The foreign route goes and the old path is back: one "healthy", then quiet.
  net_.host_routes[kServer].erase(net_.host_routes[kServer].begin());
  paths4_ = "192.168.1.1,12\r\n";
  while (local_.reported != GuardReport::healthy) ASSERT_EQ(cycle(), GuardCycle::keep_running);
  EXPECT_EQ(guard_lines().back(), "bypass route guard result=healthy");
  EXPECT_EQ(local_.backoff_seconds, 5);
  EXPECT_EQ(changes(), 0);
}

TEST_F(GuardTest, LedgerProvesOwnershipOnlyOfRoutesNotDeletedSince) {
  const PhysicalPath a{"192.168.1.1", "12"}, b{"192.168.7.1", "7"};
  const BypassRoute via_a{false, kServer, a.next_hop, a.interface_index};
  const BypassRoute via_b{false, kServer, b.next_hop, b.interface_index};
  ASSERT_EQ(cycle(), GuardCycle::keep_running);  // from here on a full check ends every 30 s
  const auto follow = [&](const PhysicalPath& to) { move_to(to, 30s); };
  follow(b);
  follow(a);
  ASSERT_EQ(recorded_physical_path(live(), IpFamily::ipv4), a);
  EXPECT_EQ(live().bypass_routes, std::vector<BypassRoute>{via_a});  // via B deleted and gone: no entry

  // Someone else now routes the server via B; the next move to B must ask and refuse.
  net_.host_routes[kServer].insert(net_.host_routes[kServer].begin(), {b.next_hop, b.interface_index});
  runner_.calls.clear();
  follow(b);
  EXPECT_EQ(count_calls(host_route_add_command(false, kServer, b.next_hop, b.interface_index)), 0);
  EXPECT_EQ(count_calls(bypass_route_delete_commands(via_b).front()), 0);
  EXPECT_EQ(count_calls(test::query(route_ownership_script("203.0.113.5/32", "7", "192.168.7.1"))), 1);
  EXPECT_EQ(guard_lines().back(), "bypass route guard result=still_looped");
  EXPECT_FALSE(std::count(live().bypass_routes.begin(), live().bypass_routes.end(), via_b));
}

TEST_F(GuardTest, UnconfirmedDeletionIsAskedAboutBeforeItIsReused) {
  const PhysicalPath a{"192.168.1.1", "12"}, b{"192.168.7.1", "7"};
  const BypassRoute via_a{false, kServer, a.next_hop, a.interface_index};
  runner_.on_run = [this](const NetworkCommand& c) -> Status {
    if (c.args.size() > 1 && c.args[0] == "DELETE") return fail(kCommandFailed);  // stays in place
    return net_.apply(c);
  };
  ASSERT_EQ(cycle(), GuardCycle::keep_running);
  move_to(b, 30s);
  ASSERT_EQ(recorded_physical_path(live(), IpFamily::ipv4), b);
  // Via A could not be deleted: its entry stays for teardown, but proves nothing.
  EXPECT_EQ(std::count(live().bypass_routes.begin(), live().bypass_routes.end(), via_a), 1);
  EXPECT_EQ(local_.unconfirmed, std::vector<BypassRoute>{via_a});
  runner_.calls.clear();
  move_to(a, 30s);
  EXPECT_EQ(count_calls(test::query(route_ownership_script("203.0.113.5/32", "12", "192.168.1.1"))), 1);
  EXPECT_EQ(count_calls(host_route_add_command(false, kServer, a.next_hop, a.interface_index)), 0);
  EXPECT_EQ(guard_lines().back(), "bypass route guard result=still_looped");
}

TEST_F(GuardTest, LedgerStaysBoundedWhileRoaming) {
  ASSERT_EQ(cycle(), GuardCycle::keep_running);
  for (int k = 2; k < 40; ++k) {
    const PhysicalPath to{"192.168." + std::to_string(k) + ".1", std::to_string(100 + k)};
    move_to(to, 30s);
    ASSERT_EQ(recorded_physical_path(live(), IpFamily::ipv4), to);
    ASSERT_EQ(live().bypass_routes, (std::vector<BypassRoute>{{false, kServer, to.next_hop, to.interface_index}}));
  }
  EXPECT_TRUE(local_.unconfirmed.empty());
}

TEST_F(GuardTest, MoveWithoutLedgerRoomIsNotMade) {
  for (std::size_t i = 0; i + 1 < kBypassLedgerLimit; ++i) {
    live().bypass_routes.push_back({false, "198.51.100." + std::to_string(i % 250), "10.0.0.1", std::to_string(i)});
  }
  paths4_ = "192.168.7.1,7\r\n";
  cycles_for(32s);
  EXPECT_EQ(runner_.calls, std::vector<NetworkCommand>{kPaths4});
  EXPECT_EQ(live().bypass_routes.size(), kBypassLedgerLimit - 1);
  EXPECT_EQ(recorded_physical_path(live(), IpFamily::ipv4), (PhysicalPath{"192.168.1.1", "12"}));
  EXPECT_EQ(guard_lines().front(), "bypass route repair family=v4 moved=true routes=1 result=add_failed");
}

TEST_F(GuardTest, ExceptionInACycleIsLoggedOncePerEpisodeAndLeavesTheRecords) {
  net_.host_routes.erase(kServer);
  bool throwing = true;
  runner_.on_run = [&](const NetworkCommand& c) -> Status {
    if (throwing) throw std::bad_alloc();
    return net_.apply(c);
  };
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(contained_bypass_guard_cycle(state_, local_, with_), GuardCycle::keep_running);
    clock_.advance(kGuardPeriod);
  }
  const auto failed = [&] {
    auto lines = log_.messages();
    return std::count(lines.begin(), lines.end(), "bypass route guard cycle failed");
  };
  EXPECT_EQ(failed(), 1);
  EXPECT_FALSE(state_.mutex().poisoned());  // the stop and its teardown still work
  // Recorded before the add that threw: teardown deletes it.
  const BypassRoute route{false, kServer, "192.168.1.1", "12"};
  EXPECT_EQ(live().bypass_routes, std::vector<BypassRoute>{route});
  const auto teardown = teardown_commands(live(), "alias", false);
  EXPECT_GE(std::count(teardown.begin(), teardown.end(), bypass_route_delete_commands(route).front()), 1);

  throwing = false;
  while (local_.reported != GuardReport::healthy) {
    ASSERT_EQ(contained_bypass_guard_cycle(state_, local_, with_), GuardCycle::keep_running);
    clock_.advance(kGuardPeriod);
  }
  net_.lookups_fail = false;
  with_.best_route = [](std::string_view) -> BestRouteResult { throw std::runtime_error("lookup"); };
  ASSERT_EQ(contained_bypass_guard_cycle(state_, local_, with_), GuardCycle::keep_running);
  EXPECT_EQ(failed(), 2);  // a new episode after a cycle that completed
}

TEST_F(GuardTest, ThreadBodyOutlivesThrowingCycles) {
  test::SteppingClock stepping;
  LifecycleGate gate;
  SharedState other{gate, sessions_, lanes_, stepping};
  test::RecordingRunner r;
  int lookups = 0;
  GuardCollaborators with{r, [&](std::string_view) -> BestRouteResult {
                            if (++lookups == 3) gate.set_stopping();
                            throw std::bad_alloc();
                          }};
  {
    auto s = std::make_unique<test::FakeSession>();
    s->session_token = "t";
    s->network_state.ipv4_servers = {kServer};
    PoisonLock l(other.mutex());
    other.slot() = std::move(s);
  }
  run_bypass_route_guard(other, with);  // returns once stopping: nothing ended the process
  EXPECT_EQ(stepping.sleeps().size(), 4u);
}

// What another thread sees of the state lock while the guard runs a command.
bool lock_free_seen_from_another_thread(PoisonMutex& m) {
  return std::async(std::launch::async, [&m] {
           if (!m.native().try_lock()) return false;
           m.native().unlock();
           return true;
         }).get();
}

TEST_F(GuardTest, LockIsHeldAcrossEveryCommandOfARepair) {
  set_session("token-1", {kServer, "203.0.113.6"}, {kServer6});
  paths4_ = "192.168.7.1,7\r\n";
  paths6_ = "fe80::7,7\r\n";
  int commands = 0, unlocked = 0;
  runner_.on_run = [&](const NetworkCommand& c) {
    ++commands;
    if (lock_free_seen_from_another_thread(state_.mutex())) ++unlocked;
    return net_.apply(c);
  };
  const auto on_query = runner_.on_query;
  int ownership_queries = 0;
  runner_.on_query = [&](std::string_view script) {
    if (script.starts_with("$ErrorActionPreference='Stop'; $routes=")) {  // the ownership query
      ++ownership_queries;
      if (lock_free_seen_from_another_thread(state_.mutex())) ++unlocked;
    }
    return on_query(script);
  };
  cycles_for(32s);
  EXPECT_EQ(recorded_physical_path(live(), IpFamily::ipv4), (PhysicalPath{"192.168.7.1", "7"}));
  EXPECT_EQ(recorded_physical_path(live(), IpFamily::ipv6), (PhysicalPath{"fe80::7", "7"}));
  EXPECT_GE(commands, 6);
  EXPECT_GE(ownership_queries, 6);
  EXPECT_EQ(unlocked, 0);
}

// A gate that lets the test hold the guard inside a command.
struct CommandGate {
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, released = false;
  void enter_and_wait() {
    std::unique_lock l(m);
    entered = true;
    cv.notify_all();
    cv.wait(l, [&] { return released; });
  }
  void wait_entered() {
    std::unique_lock l(m);
    cv.wait(l, [&] { return entered; });
  }
  void release() {
    std::lock_guard l(m);
    released = true;
    cv.notify_all();
  }
};

TEST_F(GuardTest, StopDuringARepairWaitsForItAndTearsDownItsRecords) {
  net_.host_routes.erase(kServer);
  CommandGate gate;
  runner_.on_run = [&](const NetworkCommand& c) {
    gate.enter_and_wait();
    return net_.apply(c);
  };
  std::thread guard([&] { (void)cycle(); });
  gate.wait_entered();
  std::promise<Result<ServiceResponse>> answer;
  std::thread stop([&] {
    ServiceRequest r;
    r.version = 1;
    r.command = Command::stop;
    r.session_token = "token-1";
    answer.set_value(dispatch_request(state_, r));
  });
  gate.release();
  guard.join();
  stop.join();
  auto stopped = answer.get_future().get();
  ASSERT_TRUE(stopped) << stopped.error();
  std::lock_guard l(sessions_.mutex);
  ASSERT_EQ(sessions_.stopped.size(), 1u);
  EXPECT_EQ(sessions_.stopped[0].bypass_routes, (std::vector<BypassRoute>{{false, kServer, "192.168.1.1", "12"}}));
}

// The client renews in time, but its renewal waits behind a long repair; when the
// repair lets go, the watchdog may take the lock first: it must find the lease alive.
TEST_F(GuardTest, RenewalWaitingBehindARepairKeepsTheSession) {
  {
    PoisonLock l(state_.mutex());
    state_.slot()->lease_deadline = clock_.now() + 30s;
  }
  net_.host_routes.erase(kServer);
  CommandGate gate;
  runner_.on_run = [&](const NetworkCommand& c) {
    clock_.advance(40s);  // slow commands
    gate.enter_and_wait();
    return net_.apply(c);
  };
  std::thread guard([&] { (void)cycle(); });
  gate.wait_entered();
  std::promise<Result<ServiceResponse>> renewed;
  std::thread watchdog([&] { (void)lease_watchdog_cycle(state_); });
  std::thread renewal([&] {
    ServiceRequest r;
    r.version = 1;
    r.command = Command::renew_lease;
    r.session_token = "token-1";
    r.lease_seconds = 30;
    renewed.set_value(dispatch_request(state_, r));
  });
  gate.release();
  guard.join();
  watchdog.join();
  renewal.join();
  auto answer = renewed.get_future().get();
  ASSERT_TRUE(answer) << answer.error();
  EXPECT_EQ(answer->state, "active");
  PoisonLock l(state_.mutex());
  ASSERT_TRUE(state_.slot());
  EXPECT_TRUE(sessions_.stopped.empty());
}

TEST_F(GuardTest, TimeHeldForARepairDoesNotCountAgainstTheLease) {
  MonoTime deadline;
  {
    PoisonLock l(state_.mutex());
    deadline = state_.slot()->lease_deadline = clock_.now() + 30s;
  }
  net_.host_routes.erase(kServer);
  runner_.on_run = [&](const NetworkCommand& c) {
    clock_.advance(25s);
    return net_.apply(c);
  };
  ASSERT_EQ(cycle(), GuardCycle::keep_running);  // 2 s, then a repair of 25 s
  EXPECT_EQ(state_.slot()->lease_deadline, deadline + 25s);
  clock_.advance(4s);  // 31 s after the lease was set, 6 s of it outside the repair
  EXPECT_EQ(lease_watchdog_cycle(state_), WatchdogCycle::keep_running);
  PoisonLock l(state_.mutex());
  EXPECT_TRUE(state_.slot());
}

// A new gateway on the same interface leaves the old host route working, so nothing
// loops: only a full check sees it, and a route change makes the next cycle one.
TEST_F(GuardTest, RouteChangeMakesTheNextCycleAFullCheck) {
  ASSERT_EQ(cycle(), GuardCycle::keep_running);
  paths4_ = "192.168.1.254,12\r\n";
  ASSERT_EQ(cycle(), GuardCycle::keep_running);
  EXPECT_EQ(count_calls(kPaths4), 0);  // without a change: nothing until the full check
  local_.change_pending = true;
  ASSERT_EQ(cycle(), GuardCycle::keep_running);
  EXPECT_EQ(count_calls(kPaths4), 1);
  EXPECT_EQ(recorded_physical_path(live(), IpFamily::ipv4), (PhysicalPath{"192.168.1.254", "12"}));
  EXPECT_EQ(local_.next_full_check, clock_.now() + kGuardFullCheckPeriod);
}

TEST_F(GuardTest, RouteChangeCutsAWaitShortButNotTheBackoffOfAFailingRepair) {
  struct Row {
    const char* name;
    std::string paths4;
    std::string ownership;
    GuardReport after_first;
    bool checked_at_once;
  };
  const Row rows[] = {
      {"waiting_for_a_path", "", "", GuardReport::waiting, true},
      {"refused_move", "192.168.7.1,7\r\n", "present\r\n", GuardReport::still_looped, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    set_session(std::string("token-") + row.name, {kServer}, {});
    net_.host_routes.erase(kServer);  // looped: checked at once
    paths4_ = row.paths4;
    ownership_ = row.ownership;
    ASSERT_EQ(cycle(), GuardCycle::keep_running);
    ASSERT_EQ(local_.reported, row.after_first);
    const auto before = count_calls(kPaths4);
    local_.change_pending = true;
    ASSERT_EQ(cycle(), GuardCycle::keep_running);
    EXPECT_EQ(count_calls(kPaths4) - before, row.checked_at_once ? 1 : 0);
  }
}

TEST_F(GuardTest, ThreadBodyRunsAChangedCycleAtOnceAndAtMostOncePerSecond) {
  test::SteppingClock stepping;
  LifecycleGate gate;
  SharedState other{gate, sessions_, lanes_, stepping};
  test::RecordingRunner r;
  r.on_query = [](std::string_view) -> Result<std::string> { return std::string("192.168.1.1,12\r\n"); };
  RouteChangeSignal changes;
  int lookups = 0;
  GuardCollaborators with{r, [&](std::string_view) -> BestRouteResult {
                            if (++lookups == 5) gate.set_stopping();
                            changes.notify();  // a storm: a change during every cycle
                            return BestRoute{12, ip("192.168.1.1")};
                          }};
  {
    auto s = std::make_unique<test::FakeSession>();
    s->session_token = "t";
    s->network_state.ipv4_servers = {kServer};
    s->network_state.ipv4_gateway = "192.168.1.1";
    s->network_state.ipv4_interface_index = "12";
    PoisonLock l(other.mutex());
    other.slot() = std::move(s);
  }
  changes.notify();
  run_bypass_route_guard(other, with, &changes);
  // Every wait ended at once; the clock moved only by the spacing of early cycles.
  EXPECT_EQ(stepping.sleeps(), (std::vector<Duration>{1s, 1s, 1s, 1s, 1s}));
  // Each of the five working cycles was a full check (one path query), the first too.
  EXPECT_EQ(r.calls, std::vector<NetworkCommand>(5, kPaths4));
}

TEST(RouteChangeSignal, WaitEndsAtANotificationAndConsumesIt) {
  RouteChangeSignal signal;
  EXPECT_FALSE(signal.wait_for(0s));
  signal.notify();
  signal.notify();
  EXPECT_TRUE(signal.wait_for(0s));
  EXPECT_FALSE(signal.wait_for(0s));  // two notifications before a wait are one change
  std::thread other([&] { signal.notify(); });
  EXPECT_TRUE(signal.wait_for(std::chrono::hours(1)));  // ends at the notification
  other.join();
}

// ---- the pieces -------------------------------------------------------------------------

TEST(GuardPieces, LoopAndPathTests) {
  const BestRouteResult via12 = BestRoute{12, ip("192.168.1.1")};
  const BestRouteResult via12v6 = BestRoute{12, ip("fe80::1")};
  EXPECT_TRUE(route_is_looped(BestRoute{15, ip("0.0.0.0")}, "15"));
  EXPECT_FALSE(route_is_looped(via12, "15"));
  EXPECT_FALSE(route_is_looped(std::nullopt, "15"));
  EXPECT_FALSE(route_is_looped(BestRoute{15, ip("0.0.0.0")}, "015"));  // decimal text, compared as text

  struct Row {
    BestRouteResult route;
    PhysicalPath path;
    bool uses;
  };
  const Row rows[] = {
      {via12, {"192.168.1.1", "12"}, true},
      {via12, {"192.168.1.2", "12"}, false},
      {via12, {"192.168.1.1", "7"}, false},
      {std::nullopt, {"192.168.1.1", "12"}, false},
      {via12v6, {"fe80::1%12", "12"}, true},  // the zone suffix is cut
      {via12v6, {"FE80:0::1", "12"}, true},   // compared as addresses
      {via12v6, {"::ffff:192.168.1.1", "12"}, false},
      {via12, {"::ffff:192.168.1.1", "12"}, false},  // another family
      {via12, {"", "12"}, false},
      {via12, {"not-an-address", "12"}, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path.next_hop + " " + r.path.interface_index);
    EXPECT_EQ(route_uses_path(r.route, r.path), r.uses);
  }
}

TEST(GuardPieces, StoredPathHasNoZoneAndCanonicalText) {
  struct Row {
    PhysicalPath in;
    PhysicalPath out;
  };
  const Row rows[] = {
      {{"fe80::1%12", "12"}, {"fe80::1", "12"}},
      {{"FE80:0:0::1%eth0", "12"}, {"fe80::1", "12"}},
      {{"192.168.1.1", "12"}, {"192.168.1.1", "12"}},
      {{"fe80::1%", "12"}, {"fe80::1", "12"}},
      {{"not-an-address%1", "12"}, {"not-an-address", "12"}},
      {{"", "12"}, {"", "12"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.in.next_hop);
    EXPECT_EQ(stored_path(r.in), r.out);
  }
}

TEST(GuardPieces, ChoosePhysicalPath) {
  using Paths = std::vector<PhysicalPath>;
  struct Row {
    const char* name;
    Paths candidates;
    std::optional<PhysicalPath> chosen;
  };
  const Row rows[] = {
      {"preferred_interface_kept", {{"10.0.0.1", "7"}, {"192.168.1.1", "12"}, {"192.168.1.9", "12"}},
       PhysicalPath{"192.168.1.1", "12"}},
      {"else_first_usable", {{"", "7"}, {"10.0.0.1", "15"}, {"10.0.0.9", "9"}, {"10.0.0.1", "7"}},
       PhysicalPath{"10.0.0.9", "9"}},
      {"preferred_without_next_hop_is_unusable", {{"", "12"}, {"10.0.0.1", "7"}}, PhysicalPath{"10.0.0.1", "7"}},
      {"only_the_tunnel", {{"10.0.0.1", "15"}}, std::nullopt},
      {"none", {}, std::nullopt},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(choose_physical_path(r.candidates, "12", "15"), r.chosen);
  }
}

TEST(GuardPieces, OwnershipScriptExactly) {
  EXPECT_EQ(route_ownership_script("203.0.113.5/32", "7", "it's"),
            "$ErrorActionPreference='Stop'; $routes=@(foreach($store in @('ActiveStore','PersistentStore')){Get-NetRoute "
            "-PolicyStore $store | Where-Object { $_.DestinationPrefix -eq '203.0.113.5/32' -and "
            "[string]$_.InterfaceIndex -eq '7' -and $_.NextHop -eq 'it''s' }}); "
            "if($routes.Count -gt 0){'present'}else{'absent'}");
}

TEST(GuardPieces, CanonicalAddressText) {
  struct Row {
    const char* in;
    const char* out;
  };
  const Row rows[] = {
      {"2001:DB8:0::5", "2001:db8::5"},
      {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"},  // first of equal runs
      {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},                  // one zero group stays
      {"0:0:0:0:0:0:0:0", "::"},
      {"::1", "::1"},
      {"1::", "1::"},
      {"fe80:0:0:0:0:0:0:1", "fe80::1"},
      {"::FFFF:192.0.2.1", "::ffff:192.0.2.1"},
      {"203.0.113.5", "203.0.113.5"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.in);
    EXPECT_EQ(platform::canonical_ip_text(r.in), std::optional<std::string>(r.out));
  }
  EXPECT_EQ(platform::canonical_ip_text("2001:db8::5%12"), std::nullopt);
  EXPECT_EQ(platform::canonical_ip_text("203.0.113.05"), std::nullopt);
}

}  // namespace
}  // namespace brenmoor
