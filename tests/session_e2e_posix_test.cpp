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
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kServer = "5.180.20.10";  // only ever a string in the simulated network
constexpr Duration kWaitBound = 30s;             // bound of every wait for the service or the engine

struct Outcome {
  int exit_code = -1;
  std::string out;
};

Outcome run(const std::string& program, std::vector<std::string> args, std::vector<platform::EnvOverride> env = {}) {
  platform::SpawnOptions o;
  o.program = program;
  o.args = std::move(args);
  o.stdout_mode = platform::StdioMode::pipe;
  o.stderr_mode = platform::StdioMode::pipe;
  o.env = std::move(env);
  auto p = platform::spawn_process(o);
  if (!p) return {};
  auto out = p->take_stdout();
  auto err = p->take_stderr();
  auto text = platform::read_to_end(out, err);
  auto code = p->wait();
  Outcome r;
  r.exit_code = code ? static_cast<int>(*code) : -1;
  if (text) r.out = text->stdout_bytes + text->stderr_bytes;
  return r;
}

// Engine processes still running from this world's service folder.
int engines_running(const std::string& engine_path) {
  int n = 0;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return -1;
  while (dirent* e = ::readdir(d)) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink(fs::path("/proc") / e->d_name / "exe", ec);
    if (!ec && exe == engine_path) {
      std::ifstream stat(fs::path("/proc") / e->d_name / "stat");
      std::string pid, comm, state;
      stat >> pid >> comm >> state;
      if (state != "Z") ++n;  // a zombie is gone for every purpose but its parent's bookkeeping
    }
  }
  ::closedir(d);
  return n;
}

std::string field(const std::string& json, const std::string& key) {
  const std::string k = "\"" + key + "\":";
  const auto at = json.find(k);
  if (at == std::string::npos) return "";
  auto v = json.substr(at + k.size());
  if (v.starts_with("\"")) return v.substr(1, v.find('"', 1) - 1);
  return v.substr(0, v.find_first_of(",}"));
}

class SessionWorld : public testing::Test {
 protected:
  void SetUp() override {
    root_ = test::make_temp_dir("e2e");
    host_ = root_ + "/host";
    program_files_ = root_ + "/Program Files";
    svc_ = root_ + "/svc";
    tools_ = root_ + "/tools";
    netsim_state_ = root_ + "/net.json";
    for (const auto& d : {host_, program_files_ + "/Pellamy", svc_ + "/geodata", tools_}) fs::create_directories(d);
    const std::string bin = test::bin_dir();
    fs::copy_file(bin + "/brenmoor-service", svc_ + "/brenmoor-service");
    fs::copy_file(bin + "/brenmoor-test-engine", svc_ + "/engine.exe");
    fs::copy_file(bin + "/wintun.dll", svc_ + "/wintun.dll");
    fs::copy_file(bin + "/geodata/geoip.dat", svc_ + "/geodata/geoip.dat");
    fs::copy_file(bin + "/geodata/geosite.dat", svc_ + "/geodata/geosite.dat");
    fs::copy_file(bin + "/brenmoor-ctl", program_files_ + "/Pellamy/brenmoor-win.exe");
    for (const char* tool : {"route", "netsh", "powershell.exe"}) fs::copy_file(bin + "/netsim", tools_ + "/" + tool);
    std::string config = test::read_file(test::source_dir() + "/samples/config.json");
    for (std::size_t at; (at = config.find("vpn.example.net")) != std::string::npos;) config.replace(at, 15, kServer);
    std::ofstream(root_ + "/config.json") << config;
    ASSERT_EQ(netsim({"init-typical"}).exit_code, 0);
    initial_ = netsim({"dump"}).out;
  }

  void TearDown() override {
    stop_service();
    EXPECT_EQ(engines_running(svc_ + "/engine.exe"), 0);
  }

  std::vector<platform::EnvOverride> env() const {
    return {{"BRENMOOR_HOST_ROOT", host_},
            {"ProgramFiles", program_files_},
            {"BRENMOOR_NETSIM", netsim_state_},
            {"BRENMOOR_CTL_TOKEN_FILE", root_ + "/token"},
            {"PATH", tools_ + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")},
            {"BRENMOOR_ENGINE_FAULTS", engine_faults_}};
  }

  Outcome netsim(std::vector<std::string> args) { return run(test::bin_path("netsim"), std::move(args), env()); }
  Outcome ctl(std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return run(program_files_ + "/Pellamy/brenmoor-win.exe", std::move(args), env());
  }
  Outcome start(std::uint32_t lease = 60) {
    return ctl({"start", "--config", root_ + "/config.json", "--server", kServer, "--lease", std::to_string(lease)});
  }
  std::string status() { return field(ctl({"status"}).out, "state"); }

  // Foreground service, or with `supervised` the service mode under the notify supervisor.
  void start_service(bool supervised = false) {
    platform::SpawnOptions o;
    if (supervised) {
      o.program = test::bin_path("brenmoor-supervise");
      o.args = {"--", svc_ + "/brenmoor-service"};
    } else {
      o.program = svc_ + "/brenmoor-service";
      o.args = {"--run-foreground"};
    }
    o.env = env();
    auto p = platform::spawn_process(o);
    ASSERT_TRUE(p) << p.error();
    service_ = std::move(*p);
    const auto until = MonoClock::now() + kWaitBound;
    while (ctl({"status"}).exit_code != 0) {
      ASSERT_LT(MonoClock::now(), until) << "service did not answer";
      std::this_thread::sleep_for(20ms);  // polling a bounded wait for the socket to appear
    }
  }

  void stop_service() {
    if (!service_.valid()) return;
    (void)::kill(static_cast<pid_t>(service_.id()), SIGTERM);
    auto code = service_.wait();
    EXPECT_TRUE(code.has_value());
    service_ = platform::Process();
  }

  // Waits (bounded) until status reports `state`.
  void expect_state_within(const std::string& state, Duration bound) {
    const auto until = MonoClock::now() + bound;
    while (status() != state) {
      ASSERT_LT(MonoClock::now(), until) << "status never became " << state;
      std::this_thread::sleep_for(100ms);
    }
  }

  void expect_network_as_before() {
    const Outcome diff = netsim({"diff", root_ + "/initial.json"});
    EXPECT_EQ(diff.exit_code, 0) << diff.out;
  }

  std::string root_, host_, program_files_, svc_, tools_, netsim_state_, initial_;
  std::string engine_faults_;
  platform::Process service_;
};

TEST_F(SessionWorld, StartShowsTheBringUpAndStopRestoresTheNetwork) {
  std::ofstream(root_ + "/initial.json") << initial_;
  start_service();
  EXPECT_EQ(status(), "idle");
  const Outcome started = start();
  ASSERT_EQ(started.exit_code, 0) << started.out;
  EXPECT_EQ(field(started.out, "state"), "active");
  EXPECT_EQ(field(started.out, "session_token").size(), 36u);

  const std::string during = netsim({"dump"}).out;
  for (const char* expected : {"10.88.91.1/30", "fd00:ae91::1/64", "5.180.20.10/32", "0.0.0.0/1", "128.0.0.0/1",
                               "::/1", "8000::/1", "1.1.1.1"}) {
    EXPECT_NE(during.find(expected), std::string::npos) << expected << " missing from\n" << during;
  }
  EXPECT_EQ(engines_running(svc_ + "/engine.exe"), 1);
  EXPECT_EQ(status(), "active");
  EXPECT_EQ(ctl({"renew", "--lease", "120"}).exit_code, 0);
  const Outcome carrier = ctl({"carrier", "status"});
  EXPECT_EQ(carrier.exit_code, 0) << carrier.out;
  const Outcome datagram = ctl({"datagram", "status"});
  EXPECT_EQ(datagram.exit_code, 0) << datagram.out;

  const Outcome stopped = ctl({"stop"});
  ASSERT_EQ(stopped.exit_code, 0) << stopped.out;
  EXPECT_EQ(field(stopped.out, "state"), "idle");
  EXPECT_EQ(engines_running(svc_ + "/engine.exe"), 0);
  expect_network_as_before();
  EXPECT_FALSE(fs::exists(netsim_state_ + ".rejected")) << test::read_file(netsim_state_ + ".rejected");
}

TEST_F(SessionWorld, SecondStartReplacesTheFirst) {
  std::ofstream(root_ + "/initial.json") << initial_;
  start_service();
  const Outcome first = start();
  ASSERT_EQ(first.exit_code, 0) << first.out;
  const Outcome second = start();
  ASSERT_EQ(second.exit_code, 0) << second.out;
  EXPECT_NE(field(first.out, "session_token"), field(second.out, "session_token"));
  EXPECT_EQ(engines_running(svc_ + "/engine.exe"), 1);
  const Outcome old_token = ctl({"--token", field(first.out, "session_token"), "stop"});
  EXPECT_NE(old_token.exit_code, 0);
  EXPECT_EQ(field(old_token.out, "error"), "session_token_invalid");
  EXPECT_EQ(ctl({"stop"}).exit_code, 0);
  expect_network_as_before();
}

TEST_F(SessionWorld, KilledEngineEndsTheSessionWithinAWatchdogCycle) {
  std::ofstream(root_ + "/initial.json") << initial_;
  start_service();
  ASSERT_EQ(start().exit_code, 0);
  // Kill the engine behind the service's back.
  DIR* d = ::opendir("/proc");
  ASSERT_NE(d, nullptr);
  while (dirent* e = ::readdir(d)) {
    std::error_code ec;
    if (fs::read_symlink(fs::path("/proc") / e->d_name / "exe", ec) == svc_ + "/engine.exe")
      ::kill(std::atoi(e->d_name), SIGKILL);
  }
  ::closedir(d);
  expect_state_within("idle", 12s);
  expect_network_as_before();
}

TEST_F(SessionWorld, LeaseRunsOutWithoutRenewal) {
  std::ofstream(root_ + "/initial.json") << initial_;
  start_service();
  const auto started = MonoClock::now();
  ASSERT_EQ(start(0).exit_code, 0);  // 0 asks for the shortest lease, 30 s
  expect_state_within("idle", 45s);
  EXPECT_GE(MonoClock::now() - started, 30s);
  expect_network_as_before();
}

TEST_F(SessionWorld, StopControlDuringAStartWaitsAndLeavesNothingBehind) {
  std::ofstream(root_ + "/initial.json") << initial_;
  engine_faults_ = "ready_delay_ms=1500";
  start_service(/*supervised=*/true);
  platform::SpawnOptions o;
  o.program = program_files_ + "/Pellamy/brenmoor-win.exe";
  o.args = {"--json", "start", "--config", root_ + "/config.json", "--server", kServer};
  o.env = env();
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
  const std::string error = field(text->stdout_bytes, "error");
  EXPECT_TRUE(error.empty() || error == "service_stopping") << text->stdout_bytes;
  EXPECT_EQ(engines_running(svc_ + "/engine.exe"), 0);
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
  std::ofstream(root_ + "/initial.json") << initial_;
  engine_faults_ = c.engine_faults;
  if (std::string(c.netsim_match).size() > 0) {
    ASSERT_EQ(netsim({"fault", "add", "--match", c.netsim_match, "--action", c.netsim_action, "--count", "1"})
                  .exit_code,
              0);
  }
  if (std::string(c.name) == "engine_not_executable") fs::permissions(svc_ + "/engine.exe", fs::perms::owner_read);
  if (std::string(c.server) != kServer) {
    std::string config = test::read_file(root_ + "/config.json");
    for (std::size_t at; (at = config.find(kServer)) != std::string::npos;) config.replace(at, std::strlen(kServer), c.server);
    std::ofstream(root_ + "/config.json") << config;
  }
  start_service();
  const Outcome r = ctl({"start", "--config", root_ + "/config.json", "--server", c.server, "--lease", "60"});
  EXPECT_NE(r.exit_code, 0);
  EXPECT_EQ(field(r.out, "error"), c.code) << r.out;
  EXPECT_EQ(status(), "idle");
  EXPECT_EQ(engines_running(svc_ + "/engine.exe"), 0);
  // The rollback completed, so nothing is left for a recovery to do.
  EXPECT_FALSE(fs::exists(host_ + "/ProgramData/Pellamy/brenmoor-network.journal"));
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
