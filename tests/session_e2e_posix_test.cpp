// The whole session on the dev host: the real service (foreground or under the
// notify supervisor), the diagnostic client installed under ProgramFiles, the
// stand-in engine as engine.exe, and netsim as the machine's network.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
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
using test::json_field;
using test::Outcome;

constexpr const char* kServer = test::kWorldServer;
constexpr Duration kWaitBound = test::kWorldWaitBound;

class SessionWorld : public testing::Test {
 protected:
  void TearDown() override {
    world_.stop_service();
    EXPECT_EQ(world_.engines_running(), 0);
  }

  Outcome netsim(std::vector<std::string> args) { return world_.netsim(std::move(args)); }
  Outcome ctl(std::vector<std::string> args) { return world_.ctl(std::move(args)); }
  Outcome start(std::uint32_t lease = 60) { return world_.start(lease); }
  std::string status() { return world_.status(); }
  void start_service(bool supervised = false) { ASSERT_TRUE(world_.start_service(supervised)); }
  void stop_service() { world_.stop_service(); }
  void expect_state_within(const std::string& state, Duration bound) {
    ASSERT_TRUE(world_.wait_for_state(state, bound)) << "status never became " << state;
  }
  void expect_network_as_before() {
    const Outcome diff = world_.diff_from_initial();
    EXPECT_EQ(diff.exit_code, 0) << diff.out;
  }
  int engines_running() { return world_.engines_running(); }

  test::ServiceWorld world_{"e2e"};
};

TEST_F(SessionWorld, StartShowsTheBringUpAndStopRestoresTheNetwork) {
  start_service();
  EXPECT_EQ(status(), "idle");
  const Outcome started = start();
  ASSERT_EQ(started.exit_code, 0) << started.out;
  EXPECT_EQ(json_field(started.out, "state"), "active");
  EXPECT_EQ(json_field(started.out, "session_token").size(), 36u);

  const std::string during = netsim({"dump"}).out;
  for (const char* expected : {"10.88.91.1/30", "fd00:ae91::1/64", "5.180.20.10/32", "0.0.0.0/1", "128.0.0.0/1",
                               "::/1", "8000::/1", "1.1.1.1"}) {
    EXPECT_NE(during.find(expected), std::string::npos) << expected << " missing from\n" << during;
  }
  EXPECT_EQ(engines_running(), 1);
  EXPECT_EQ(status(), "active");
  EXPECT_EQ(ctl({"renew", "--lease", "120"}).exit_code, 0);
  const Outcome carrier = ctl({"carrier", "status"});
  EXPECT_EQ(carrier.exit_code, 0) << carrier.out;
  const Outcome datagram = ctl({"datagram", "status"});
  EXPECT_EQ(datagram.exit_code, 0) << datagram.out;

  const Outcome stopped = ctl({"stop"});
  ASSERT_EQ(stopped.exit_code, 0) << stopped.out;
  EXPECT_EQ(json_field(stopped.out, "state"), "idle");
  EXPECT_EQ(engines_running(), 0);
  expect_network_as_before();
  EXPECT_FALSE(fs::exists(world_.netsim_state() + ".rejected")) << test::read_file(world_.netsim_state() + ".rejected");
}

TEST_F(SessionWorld, SecondStartReplacesTheFirst) {
  start_service();
  const Outcome first = start();
  ASSERT_EQ(first.exit_code, 0) << first.out;
  const Outcome second = start();
  ASSERT_EQ(second.exit_code, 0) << second.out;
  EXPECT_NE(json_field(first.out, "session_token"), json_field(second.out, "session_token"));
  EXPECT_EQ(engines_running(), 1);
  const Outcome old_token = ctl({"--token", json_field(first.out, "session_token"), "stop"});
  EXPECT_NE(old_token.exit_code, 0);
  EXPECT_EQ(json_field(old_token.out, "error"), "session_token_invalid");
  EXPECT_EQ(ctl({"stop"}).exit_code, 0);
  expect_network_as_before();
}

TEST_F(SessionWorld, KilledEngineEndsTheSessionWithinAWatchdogCycle) {
  start_service();
  ASSERT_EQ(start().exit_code, 0);
  // Kill the engine behind the service's back.
  DIR* d = ::opendir("/proc");
  ASSERT_NE(d, nullptr);
  while (dirent* e = ::readdir(d)) {
    std::error_code ec;
    if (fs::read_symlink(fs::path("/proc") / e->d_name / "exe", ec) == world_.engine_path())
      ::kill(std::atoi(e->d_name), SIGKILL);
  }
  ::closedir(d);
  expect_state_within("idle", 12s);
  expect_network_as_before();
}

TEST_F(SessionWorld, LeaseRunsOutWithoutRenewalInRealTime) {
  start_service();
  const auto started = MonoClock::now();
  ASSERT_EQ(start(0).exit_code, 0);  // 0 asks for the shortest lease, 30 s
  expect_state_within("idle", 45s);
  EXPECT_GE(MonoClock::now() - started, 30s);
  expect_network_as_before();
}

TEST_F(SessionWorld, StopControlDuringAStartWaitsAndLeavesNothingBehind) {
  world_.set_engine_faults("ready_delay_ms=1500");
  start_service(/*supervised=*/true);
  platform::SpawnOptions o;
  o.program = world_.client_path();
  o.args = {"--json", "start", "--config", world_.config_path(), "--server", kServer};
  o.env = world_.env();
  o.stdout_mode = platform::StdioMode::pipe;
  auto client = platform::spawn_process(o);
  ASSERT_TRUE(client);
  expect_state_within("starting", kWaitBound);
  stop_service();  // SIGTERM to the supervisor: the Stop control
  auto out = client->take_stdout();
  platform::PipeReader none;
  auto text = platform::read_to_end(out, none);
  (void)client->wait();
  ASSERT_TRUE(text);
  // The start either finished before stopping was seen, or saw it and undid itself.
  const std::string error = json_field(text->stdout_bytes, "error");
  EXPECT_TRUE(error.empty() || error == "service_stopping") << text->stdout_bytes;
  EXPECT_EQ(engines_running(), 0);
  expect_network_as_before();
}

struct FailureCase {
  const char* name;
  const char* engine_faults;
  const char* netsim_match;  // netsim fault on commands containing this text
  const char* netsim_action;
  const char* server;
  const char* code;
};

class StartFailure : public SessionWorld, public testing::WithParamInterface<FailureCase> {};

TEST_P(StartFailure, AnswersTheStepsCodeAndLeavesNothingBehind) {
  const FailureCase& c = GetParam();
  world_.set_engine_faults(c.engine_faults);
  if (std::string(c.netsim_match).size() > 0) {
    ASSERT_EQ(netsim({"fault", "add", "--match", c.netsim_match, "--action", c.netsim_action, "--count", "1"})
                  .exit_code,
              0);
  }
  if (std::string(c.name) == "engine_not_executable") fs::permissions(world_.engine_path(), fs::perms::owner_read);
  if (std::string(c.server) != kServer) {
    world_.write_config(c.server);
  }
  start_service();
  const Outcome r = ctl(world_.start_args(60, c.server));
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(json_field(r.out, "error"), c.code) << r.out;
  EXPECT_EQ(status(), "idle");
  EXPECT_EQ(engines_running(), 0);
  // The rollback completed, so nothing is left for a recovery to do.
  EXPECT_FALSE(fs::exists(world_.journal_path()));
  ASSERT_EQ(netsim({"fault", "clear"}).exit_code, 0);
  expect_network_as_before();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, StartFailure,
    testing::Values(
        FailureCase{"engine_not_executable", "", "", "", kServer, "engine_spawn_failed"},
        FailureCase{"engine_exits_early", "exit_before_ready=3", "", "", kServer, "engine_ready_timeout"},
        FailureCase{"engine_never_ready", "no_ready=1", "", "", kServer, "engine_ready_timeout"},
        FailureCase{"connect_refused", "connect_status=401", "", "", kServer, "engine_start_failed"},
        FailureCase{"connect_port_dead", "ready_port=1", "", "", kServer, "engine_connect_failed"},
        FailureCase{"adapter_never_appears", "no_adapter=1", "", "", kServer, "adapter_not_ready"},
        FailureCase{"dns_snapshot_fails", "", "Get-DnsClientServerAddress", "exit1", kServer,
                    "dns_snapshot_failed:command_failed"},
        FailureCase{"no_default_route", "", "-DestinationPrefix '0.0.0.0/0' | Where", "exit1", kServer,
                    "command_failed"},
        FailureCase{"adapter_index_fails", "", "Get-NetAdapter -Name", "exit1", kServer, "command_failed"},
        FailureCase{"inventory_fails", "", "$addr=Get-NetIPAddress", "exit1", kServer, "command_failed"},
        FailureCase{"ipv4_assign_fails", "", "$ip='10.88.91.1'; Remove", "exit1", kServer,
                    "tun_address_assign_failed:command_failed"},
        FailureCase{"ipv6_assign_fails", "", "$ip='fd00:ae91::1'; Remove", "exit1", kServer,
                    "tun_address_assign_failed:command_failed"},
        FailureCase{"ipv4_stays_tentative", "", "$ip='10.88.91.1'; Remove", "tentative", kServer,
                    "tun_address_not_preferred:command_failed"},
        FailureCase{"bypass_route_fails", "", "ADD 5.180.20.10", "fail", kServer, "command_failed"},
        FailureCase{"ipv6_bypass_route_fails", "", "add route 2001:db8:5::10/128", "fail", "2001:db8:5::10",
                    "command_failed"},
        FailureCase{"dns_set_fails", "", "static 1.1.1.1", "fail", kServer, "command_failed"},
        FailureCase{"ipv4_metric_fails", "", "ipv4 set interface", "fail", kServer, "command_failed"},
        FailureCase{"first_split_route_fails", "", "ADD 0.0.0.0 MASK 128.0.0.0", "fail", kServer, "command_failed"},
        FailureCase{"second_split_route_fails", "", "ADD 128.0.0.0", "fail", kServer, "command_failed"},
        FailureCase{"ipv6_metric_fails", "", "ipv6 set interface", "fail", kServer, "command_failed"},
        FailureCase{"ipv6_split_route_fails", "", "add route 8000::/1", "fail", kServer, "command_failed"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brenmoor
