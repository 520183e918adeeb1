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
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kServer = "5.180.20.10";
constexpr Duration kServiceBound = 30s;  // the service answering, a start or a stop
constexpr Duration kRepairBound = 15s;   // a loop seen and repaired: a few 2-second cycles
constexpr Duration kMoveBound = 40s;     // a path change waits for the full check (30 s)

struct Outcome {
  int code = -1;
  std::string out;
};

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class GuardWorld : public testing::Test {
 protected:
  void SetUp() override {
    root_ = test::make_temp_dir("guard-e2e");
    host_ = root_ + "/host";
    program_files_ = root_ + "/Program Files";
    svc_ = root_ + "/svc";
    tools_ = root_ + "/tools";
    state_ = root_ + "/net.json";
    for (const auto& d : {host_, program_files_ + "/Pellamy", svc_ + "/geodata", tools_}) fs::create_directories(d);
    const std::string bin = test::bin_dir();
    fs::copy_file(bin + "/brenmoor-service", svc_ + "/brenmoor-service");
    fs::copy_file(bin + "/brenmoor-test-engine", svc_ + "/engine.exe");
    fs::copy_file(bin + "/wintun.dll", svc_ + "/wintun.dll");
    fs::copy_file(bin + "/geodata/geoip.dat", svc_ + "/geodata/geoip.dat");
    fs::copy_file(bin + "/geodata/geosite.dat", svc_ + "/geodata/geosite.dat");
    fs::copy_file(bin + "/brenmoor-ctl", program_files_ + "/Pellamy/brenmoor-win.exe");
    for (const char* tool : {"route", "netsh", "powershell.exe"}) fs::copy_file(bin + "/netsim", tools_ + "/" + tool);
    ASSERT_EQ(netsim({"init-typical"}).code, 0);
    std::ofstream(root_ + "/initial.txt") << netsim({"dump"}).out;
  }

  void TearDown() override {
    if (!service_.valid()) return;
    (void)::kill(static_cast<pid_t>(service_.id()), SIGTERM);
    (void)service_.wait();
  }

  std::vector<platform::EnvOverride> env(const std::string& state) const {
    return {{"BRENMOOR_HOST_ROOT", host_},
            {"ProgramFiles", program_files_},
            {"BRENMOOR_NETSIM", state},
            {"BRENMOOR_CTL_TOKEN_FILE", root_ + "/token"},
            {"PATH", tools_ + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")}};
  }
  Outcome run(const std::string& program, std::vector<std::string> args, const std::string& state) {
    platform::SpawnOptions o;
    o.program = program;
    o.args = std::move(args);
    o.stdout_mode = platform::StdioMode::pipe;
    o.stderr_mode = platform::StdioMode::pipe;
    o.env = env(state);
    auto p = platform::spawn_process(o);
    if (!p) return {};
    auto out = p->take_stdout();
    auto err = p->take_stderr();
    auto text = platform::read_to_end(out, err);
    auto code = p->wait();
    return {code ? static_cast<int>(*code) : -1, text ? text->stdout_bytes + text->stderr_bytes : ""};
  }
  Outcome netsim(std::vector<std::string> args) { return run(test::bin_path("netsim"), std::move(args), state_); }
  Outcome ctl(std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return run(program_files_ + "/Pellamy/brenmoor-win.exe", std::move(args), state_);
  }
  std::string dump() { return netsim({"dump"}).out; }
  std::string service_log() { return test::read_file(host_ + "/ProgramData/Pellamy/brenmoor-service.log"); }
  std::string tool_log() { return test::read_file(state_ + ".log"); }

  void start_session(const std::string& server = kServer) {
    std::string config = test::read_file(test::source_dir() + "/samples/config.json");
    for (std::size_t at; (at = config.find("vpn.example.net")) != std::string::npos;) config.replace(at, 15, server);
    std::ofstream(root_ + "/config.json") << config;
    platform::SpawnOptions o;
    o.program = svc_ + "/brenmoor-service";
    o.args = {"--run-foreground"};
    o.env = env(state_);
    auto p = platform::spawn_process(o);
    ASSERT_TRUE(p) << p.error();
    service_ = std::move(*p);
    ASSERT_TRUE(within(kServiceBound, [&] { return ctl({"status"}).code == 0; })) << "service did not answer";
    const Outcome started = ctl({"start", "--config", root_ + "/config.json", "--server", server, "--lease", "300"});
    ASSERT_EQ(started.code, 0) << started.out;
  }

  // Polls a bounded wait; true when the condition came true within it.
  template <class Fn>
  static bool within(Duration bound, Fn&& condition) {
    const auto until = MonoClock::now() + bound;
    while (!condition()) {
      if (MonoClock::now() >= until) return false;
      std::this_thread::sleep_for(200ms);
    }
    return true;
  }

  // The dump of the initial network with `change` applied: what must be left after stop.
  std::string expected_after(std::vector<std::vector<std::string>> changes) {
    const std::string copy = root_ + "/expected.json";
    run(test::bin_path("netsim"), {"init-typical"}, copy);
    for (auto& c : changes) EXPECT_EQ(run(test::bin_path("netsim"), c, copy).code, 0);
    return run(test::bin_path("netsim"), {"dump"}, copy).out;
  }

  void stop_session_and_expect(const std::string& expected_dump) {
    const Outcome stopped = ctl({"stop"});
    EXPECT_EQ(stopped.code, 0) << stopped.out;
    std::ofstream(root_ + "/expected.txt") << expected_dump;
    const Outcome diff = netsim({"diff", root_ + "/expected.txt"});
    EXPECT_EQ(diff.code, 0) << diff.out;
    EXPECT_FALSE(fs::exists(state_ + ".rejected")) << test::read_file(state_ + ".rejected");
  }

  std::string root_, host_, program_files_, svc_, tools_, state_;
  platform::Process service_;
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
