// The bypass route guard in the real service on the dev host: the shipped
// brenmoor-service in the foreground, the stand-in engine, netsim as the network.
// The guard's lookups read netsim's state; its changes go through netsim's tools,
// whose log shows every process the service started.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/clock.h"
#include "platform/process.h"
#include "support/service_world_posix.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kServer = test::kWorldServer;
constexpr Duration kRepairBound = 15s;   // a loop seen and repaired: a few 2-second cycles
constexpr Duration kMoveBound = 40s;     // a path change waits for the full check (30 s)

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class GuardWorld : public testing::Test {
 protected:
  struct Outcome {
    int code = -1;
    std::string out;
  };
  static Outcome of(test::Outcome o) { return {o.exit_code, std::move(o.out)}; }

  Outcome netsim(std::vector<std::string> args) { return of(world_.netsim(std::move(args))); }
  Outcome ctl(std::vector<std::string> args) { return of(world_.ctl(std::move(args))); }
  std::string dump() { return netsim({"dump"}).out; }
  std::string service_log() { return world_.log(); }
  std::string tool_log() { return test::read_file(world_.netsim_state() + ".log"); }

  void start_session(const std::string& server = kServer) {
    world_.write_config(server);
    ASSERT_TRUE(world_.start_service());
    const Outcome started = ctl(world_.start_args(300, server));
    ASSERT_EQ(started.code, 0) << started.out;
  }

  // Polls a bounded wait; true when the condition came true within it.
  template <class Fn>
  static bool within(Duration bound, Fn&& condition) {
    return test::within(bound, std::forward<Fn>(condition), 200ms);
  }

  // The dump of the initial network with `change` applied: what must be left after stop.
  std::string expected_after(std::vector<std::vector<std::string>> changes) {
    const std::string copy = world_.root() + "/expected.json";
    world_.netsim_on(copy, {"init-typical"});
    for (auto& c : changes) EXPECT_EQ(world_.netsim_on(copy, c).exit_code, 0);
    return world_.netsim_on(copy, {"dump"}).out;
  }

  void stop_session_and_expect(const std::string& expected_dump) {
    const Outcome stopped = ctl({"stop"});
    EXPECT_EQ(stopped.code, 0) << stopped.out;
    std::ofstream(world_.root() + "/expected.txt") << expected_dump;
    const Outcome diff = netsim({"diff", world_.root() + "/expected.txt"});
    EXPECT_EQ(diff.code, 0) << diff.out;
    EXPECT_FALSE(fs::exists(world_.netsim_state() + ".rejected")) << test::read_file(world_.netsim_state() + ".rejected");
  }

  test::ServiceWorld world_{"guard-e2e"};
};

TEST_F(GuardWorld, DroppedRouteIsRepairedAndAGatewayMoveIsFollowed) {
  start_session();
  const std::size_t tools_before = tool_log().size();
  ASSERT_EQ(netsim({"drop-route", std::string(kServer) + "/32"}).code, 0);
  ASSERT_TRUE(within(kRepairBound, [&] { return has(dump(), "route 12 5.180.20.10/32 via 192.168.1.1 metric=1"); }))
      << dump();
  // Between the loop and its repair the service started the path query and the add,
  // nothing else: the loop test itself starts no process.
  const std::string ran = tool_log().substr(tools_before);
  EXPECT_EQ(std::count(ran.begin(), ran.end(), '\n'), 2) << ran;
  EXPECT_TRUE(has(ran, R"(["route","ADD","5.180.20.10","MASK","255.255.255.255","192.168.1.1","IF","12","METRIC","1"])"))
      << ran;
  ASSERT_TRUE(within(kRepairBound, [&] { return has(service_log(), "bypass route guard result=repaired"); }));
  EXPECT_TRUE(has(service_log(), "bypass route repair family=v4 moved=false routes=1 result=ok"));

  const std::vector<std::string> move = {"move-gateway", "--to", "7", "--gateway", "192.168.7.1"};
  ASSERT_EQ(netsim(move).code, 0);
  ASSERT_TRUE(within(kMoveBound, [&] {
    const std::string d = dump();
    return has(d, "route 7 5.180.20.10/32 via 192.168.7.1 metric=1") && !has(d, "route 12 5.180.20.10/32");
  })) << dump();
  EXPECT_TRUE(within(kRepairBound, [&] {
    return has(service_log(), "bypass route repair family=v4 moved=true routes=1 result=ok");
  }));

  stop_session_and_expect(expected_after({move}));
  EXPECT_FALSE(has(dump(), "5.180.20.10")) << "a host route to the server was left";
}

TEST_F(GuardWorld, PersistentRouteOnTheNewPathIsLeftAloneAndSurvives) {
  start_session();
  const std::vector<std::string> persistent = {"add-route", "5.180.20.10/32", "--if", "7", "--next-hop", "192.168.7.1",
                                               "--store", "persistent"};
  const std::vector<std::string> move = {"move-gateway", "--to", "7", "--gateway", "192.168.7.1"};
  // After the move: a link coming up would put a persistent route into the active store.
  ASSERT_EQ(netsim(move).code, 0);
  ASSERT_EQ(netsim(persistent).code, 0);
  ASSERT_EQ(netsim({"drop-route", "5.180.20.10/32", "--if", "12"}).code, 0);  // looped at once
  ASSERT_TRUE(within(kRepairBound, [&] { return has(service_log(), "bypass route guard result=still_looped"); }))
      << service_log() << dump() << tool_log();
  const std::string log = service_log();
  EXPECT_TRUE(has(log, "bypass repair refused: preexisting_or_unverified_target_route"));
  EXPECT_TRUE(has(log, "bypass route repair family=v4 moved=true routes=1 result=add_failed"));
  EXPECT_FALSE(has(tool_log(), R"(["route","ADD","5.180.20.10","MASK","255.255.255.255","192.168.7.1")"));

  stop_session_and_expect(expected_after({move, persistent}));
  EXPECT_TRUE(has(dump(), "route 7 5.180.20.10/32 via 192.168.7.1 metric=0 store=PersistentStore"));
}

TEST_F(GuardWorld, Ipv6ServerRouteIsRepairedThroughNetsh) {
  start_session("2001:DB8:0::5");  // kept and written in its canonical form
  ASSERT_TRUE(has(dump(), "route 12 2001:db8::5/128 via fe80::1"));
  ASSERT_EQ(netsim({"drop-route", "2001:db8::5/128"}).code, 0);
  ASSERT_TRUE(within(kRepairBound, [&] { return has(dump(), "route 12 2001:db8::5/128 via fe80::1 metric=1"); }))
      << dump();
  EXPECT_TRUE(has(tool_log(), R"(["netsh","interface","ipv6","add","route","2001:db8::5/128","12","fe80::1","metric=1","store=active"])"));
  ASSERT_TRUE(within(kRepairBound, [&] { return has(service_log(), "bypass route guard result=repaired"); }));
  EXPECT_TRUE(has(service_log(), "bypass route repair family=v6 moved=false routes=1 result=ok"));
  stop_session_and_expect(expected_after({}));
}

TEST_F(GuardWorld, StopDuringARepairLeavesTheNetworkClean) {
  start_session();
  ASSERT_EQ(netsim({"fault", "add", "--match", "ADD 5.180.20.10", "--action", "hang", "--count", "1"}).code, 0);
  const std::size_t tools_before = tool_log().size();
  ASSERT_EQ(netsim({"drop-route", std::string(kServer) + "/32"}).code, 0);
  ASSERT_TRUE(within(kRepairBound, [&] { return has(tool_log().substr(tools_before), R"(["route","ADD","5.180.20.10")"); }));
  // The stop waits for the guard's repair (the add's 10 s limit), then tears down.
  stop_session_and_expect(expected_after({}));
  EXPECT_FALSE(has(dump(), "5.180.20.10"));
  EXPECT_TRUE(has(service_log(), "network command failed: command_timeout"));
}

}  // namespace
}  // namespace brenmoor
