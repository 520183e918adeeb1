// Recovery after a crash, end to end on the dev host: the real service is killed
// with SIGKILL (its engine dies with it, as the job takes it on Windows), netsim
// shows what was left behind, and the next start of the service puts the network
// back as it was before the first start.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

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

constexpr const char* kServer = "5.180.20.10";  // only ever a string in the simulated network
constexpr Duration kWaitBound = 30s;             // bound of every wait for the service, engine or a tool

struct Outcome {
  int exit_code = -1;
  std::string out;
};

Outcome run(const std::string& program, std::vector<std::string> args, std::vector<platform::EnvOverride> env) {
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

// Live processes whose executable is `path`.
std::vector<pid_t> processes_of(const std::string& path) {
  std::vector<pid_t> out;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink(fs::path("/proc") / e->d_name / "exe", ec);
    if (ec || exe != path) continue;
    std::ifstream stat(fs::path("/proc") / e->d_name / "stat");
    std::string pid, comm, state;
    stat >> pid >> comm >> state;
    if (state != "Z") out.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
  }
  ::closedir(d);
  return out;
}

class RecoveryWorld : public testing::Test {
 protected:
  void SetUp() override {
    root_ = test::make_temp_dir("recovery");
    host_ = root_ + "/host";
    program_files_ = root_ + "/Program Files";
    svc_ = root_ + "/svc";
    tools_ = root_ + "/tools";
    netsim_state_ = root_ + "/net.json";
    journal_ = host_ + "/ProgramData/Pellamy/brenmoor-network.journal";
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
    std::ofstream(root_ + "/initial.json") << netsim({"dump"}).out;
  }

  void TearDown() override {
    if (service_.valid()) {
      (void)::kill(static_cast<pid_t>(service_.id()), SIGTERM);
      (void)service_.wait();
    }
    for (pid_t p : processes_of(tools_ + "/route")) ::kill(p, SIGKILL);
    for (pid_t p : processes_of(tools_ + "/netsh")) ::kill(p, SIGKILL);
    for (pid_t p : processes_of(tools_ + "/powershell.exe")) ::kill(p, SIGKILL);
    EXPECT_TRUE(processes_of(svc_ + "/engine.exe").empty());
    EXPECT_FALSE(fs::exists(netsim_state_ + ".rejected")) << test::read_file(netsim_state_ + ".rejected");
  }

  std::vector<platform::EnvOverride> env() const {
    return {{"BRENMOOR_HOST_ROOT", host_},
            {"ProgramFiles", program_files_},
            {"BRENMOOR_NETSIM", netsim_state_},
            {"BRENMOOR_CTL_TOKEN_FILE", root_ + "/token"},
            {"PATH", tools_ + ":" + std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")}};
  }
  Outcome netsim(std::vector<std::string> args) { return run(test::bin_path("netsim"), std::move(args), env()); }
  Outcome ctl(std::vector<std::string> args) {
    args.insert(args.begin(), "--json");
    return run(program_files_ + "/Pellamy/brenmoor-win.exe", std::move(args), env());
  }
  std::vector<std::string> start_args() const {
    return {"start", "--config", root_ + "/config.json", "--server", kServer, "--lease", "60"};
  }
  std::string status() {
    const std::string out = ctl({"status"}).out;
    const auto at = out.find("\"state\":\"");
    return at == std::string::npos ? "" : out.substr(at + 9, out.find('"', at + 9) - at - 9);
  }

  // Foreground, or with `supervised` the service mode under the notify supervisor;
  // returns once the pipe answers.
  void start_service(bool supervised) {
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

  // SIGKILL: no shutdown, no teardown. Under the supervisor the service itself is
  // its child; kill both, as a crash of the service process would.
  void kill_service_hard() {
    for (pid_t p : processes_of(svc_ + "/brenmoor-service")) ::kill(p, SIGKILL);
    (void)::kill(static_cast<pid_t>(service_.id()), SIGKILL);
    (void)service_.wait();
    service_ = platform::Process();
    const auto until = MonoClock::now() + kWaitBound;
    while (!processes_of(svc_ + "/engine.exe").empty() || !processes_of(svc_ + "/brenmoor-service").empty()) {
      ASSERT_LT(MonoClock::now(), until) << "the engine outlived the killed service";
      std::this_thread::sleep_for(20ms);
    }
  }

  void expect_state_within(const std::string& state, Duration bound) {
    const auto until = MonoClock::now() + bound;
    while (status() != state) {
      ASSERT_LT(MonoClock::now(), until) << "status never became " << state;
      std::this_thread::sleep_for(50ms);
    }
  }

  bool network_as_before() { return netsim({"diff", root_ + "/initial.json"}).exit_code == 0; }
  std::string log() { return test::read_file(host_ + "/ProgramData/Pellamy/brenmoor-service.log"); }

  std::string root_, host_, program_files_, svc_, tools_, netsim_state_, journal_;
  platform::Process service_;
};

class KilledDuringASession : public RecoveryWorld, public testing::WithParamInterface<bool> {};

TEST_P(KilledDuringASession, NextStartRestoresTheNetworkAndServesAgain) {
  const bool supervised = GetParam();
  start_service(supervised);
  const Outcome started = ctl(start_args());
  ASSERT_EQ(started.exit_code, 0) << started.out;
  ASSERT_TRUE(fs::exists(journal_));
  const std::string journal = test::read_file(journal_);
  EXPECT_EQ(journal.find("token"), std::string::npos);

  kill_service_hard();
  // The adapter went with the engine; the host route to the server stayed behind.
  EXPECT_FALSE(network_as_before());
  EXPECT_NE(netsim({"dump"}).out.find("5.180.20.10/32"), std::string::npos);

  start_service(supervised);
  expect_state_within("idle", kWaitBound);
  EXPECT_TRUE(network_as_before()) << netsim({"diff", root_ + "/initial.json"}).out;
  EXPECT_FALSE(fs::exists(journal_));
  EXPECT_NE(log().find("network recovered from journal: ipv4_servers=5.180.20.10 "), std::string::npos) << log();

  const Outcome again = ctl(start_args());
  ASSERT_EQ(again.exit_code, 0) << again.out;
  EXPECT_TRUE(fs::exists(journal_));
  ASSERT_EQ(ctl({"stop"}).exit_code, 0);
  EXPECT_FALSE(fs::exists(journal_));
  EXPECT_TRUE(network_as_before()) << netsim({"diff", root_ + "/initial.json"}).out;
}

INSTANTIATE_TEST_SUITE_P(Modes, KilledDuringASession, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "service_mode" : "foreground");
                         });

struct KillPoint {
  const char* name;
  const char* match;  // netsim hangs the first command line containing this
  const char* probe;  // how that command appears in netsim's log (JSON arguments)
  bool journal;       // the state was on the disk before this command
};

class KilledDuringABringUp : public RecoveryWorld, public testing::WithParamInterface<KillPoint> {};

// The service killed while a tool of the bring-up hangs: whatever step it was, the
// next start leaves the network as it was before the first.
TEST_P(KilledDuringABringUp, EveryStepRecoversToACleanNetwork) {
  const KillPoint& k = GetParam();
  ASSERT_EQ(netsim({"fault", "add", "--match", k.match, "--action", "hang", "--count", "1"}).exit_code, 0);
  start_service(false);
  platform::SpawnOptions o;
  o.program = program_files_ + "/Pellamy/brenmoor-win.exe";
  o.args = start_args();
  o.args.insert(o.args.begin(), "--json");
  o.env = env();
  o.stdout_mode = platform::StdioMode::null_device;
  o.stderr_mode = platform::StdioMode::null_device;
  auto client = platform::spawn_process(o);
  ASSERT_TRUE(client);
  const auto until = MonoClock::now() + kWaitBound;
  while (test::read_file(netsim_state_ + ".log").find(k.probe) == std::string::npos) {
    ASSERT_LT(MonoClock::now(), until) << "the bring-up never reached " << k.probe;
    std::this_thread::sleep_for(20ms);
  }
  kill_service_hard();
  (void)client->wait();
  EXPECT_EQ(fs::exists(journal_), k.journal);
  ASSERT_EQ(netsim({"fault", "clear"}).exit_code, 0);

  start_service(false);
  expect_state_within("idle", kWaitBound);
  EXPECT_TRUE(network_as_before()) << netsim({"diff", root_ + "/initial.json"}).out;
  EXPECT_FALSE(fs::exists(journal_));
  EXPECT_EQ(log().find("network recovered from journal: ") != std::string::npos, k.journal) << log();
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, KilledDuringABringUp,
    testing::Values(
        KillPoint{"adapter_index", "Get-NetAdapter -Name", "Get-NetAdapter -Name", false},
        KillPoint{"address_inventory", "$addr=Get-NetIPAddress", "$addr=Get-NetIPAddress", false},
        KillPoint{"ipv4_assign", "$ip='10.88.91.1'; Remove", "$ip='10.88.91.1'; Remove", true},
        KillPoint{"ipv6_assign", "$ip='fd00:ae91::1'; Remove", "$ip='fd00:ae91::1'; Remove", true},
        KillPoint{"ipv4_preferred", "$ip='10.88.91.1'; $deadline", "$ip='10.88.91.1'; $deadline", true},
        KillPoint{"ipv6_preferred", "$ip='fd00:ae91::1'; $deadline", "$ip='fd00:ae91::1'; $deadline", true},
        KillPoint{"stale_server_route_delete", "DELETE 5.180.20.10", R"("DELETE","5.180.20.10")", true},
        KillPoint{"server_route_add", "ADD 5.180.20.10", R"("ADD","5.180.20.10")", true},
        KillPoint{"dns_set", "static 1.1.1.1", R"("static","1.1.1.1")", true},
        KillPoint{"ipv4_metric", "ipv4 set interface", R"("ipv4","set","interface")", true},
        KillPoint{"first_split_route", "ADD 0.0.0.0 MASK 128.0.0.0", R"("ADD","0.0.0.0","MASK")", true},
        KillPoint{"second_split_route", "ADD 128.0.0.0", R"("ADD","128.0.0.0")", true},
        KillPoint{"ipv6_metric", "ipv6 set interface", R"("ipv6","set","interface")", true},
        KillPoint{"first_ipv6_split_route", "add route ::/1", R"("add","route","::/1")", true},
        KillPoint{"second_ipv6_split_route", "add route 8000::/1", R"("add","route","8000::/1")", true}),
    [](const testing::TestParamInfo<KillPoint>& info) { return std::string(info.param.name); });

// A journal someone edited is not acted on: the service starts, runs nothing of it
// and leaves it aside for a person.
TEST_F(RecoveryWorld, AHandEditedJournalIsSetAsideAndNothingRuns) {
  fs::create_directories(host_ + "/ProgramData/Pellamy");
  std::ofstream(journal_) << "brenmoor network journal 1\nalias Brenmoor Device Path\ntun_interface_index 15\n"
                             "ipv4_gateway 192.168.1.1\nipv4_interface_index 12\nipv6_gateway \nipv6_interface_index \n"
                             "ipv4_split_routes_installed 1\nipv4_server 192.168.1.0; route DELETE 0.0.0.0\nend\n";
  start_service(false);
  expect_state_within("idle", kWaitBound);
  EXPECT_FALSE(fs::exists(journal_));
  EXPECT_TRUE(fs::exists(journal_ + ".rejected"));
  EXPECT_FALSE(fs::exists(netsim_state_ + ".log")) << test::read_file(netsim_state_ + ".log");
  EXPECT_NE(log().find("network journal rejected: journal_malformed:ipv4_server; set aside as "), std::string::npos)
      << log();
  EXPECT_TRUE(network_as_before());
}

}  // namespace
}  // namespace brenmoor
