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
#include "support/service_world_posix.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::Outcome;

constexpr Duration kWaitBound = test::kWorldWaitBound;  // bound of every wait for the service, engine or a tool

class RecoveryWorld : public testing::Test {
 protected:
  void SetUp() override { journal_ = world_.journal_path(); }

  void TearDown() override {
    world_.stop_service();
    EXPECT_TRUE(test::processes_of(world_.engine_path()).empty());
    EXPECT_FALSE(fs::exists(world_.netsim_state() + ".rejected")) << test::read_file(world_.netsim_state() + ".rejected");
  }

  Outcome netsim(std::vector<std::string> args) { return world_.netsim(std::move(args)); }
  Outcome ctl(std::vector<std::string> args) { return world_.ctl(std::move(args)); }
  std::vector<std::string> start_args() const { return world_.start_args(60); }
  void start_service(bool supervised) { ASSERT_TRUE(world_.start_service(supervised)); }
  void kill_service_hard() { world_.kill_service_hard(); }
  void expect_state_within(const std::string& state, Duration bound) {
    ASSERT_TRUE(world_.wait_for_state(state, bound)) << "status never became " << state;
  }
  bool network_as_before() { return world_.diff_from_initial().exit_code == 0; }
  std::string log() { return world_.log(); }

  test::ServiceWorld world_{"recovery"};
  std::string journal_;
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
  EXPECT_TRUE(network_as_before()) << world_.diff_from_initial().out;
  EXPECT_FALSE(fs::exists(journal_));
  EXPECT_NE(log().find("network recovered from journal: ipv4_servers=5.180.20.10 "), std::string::npos) << log();

  const Outcome again = ctl(start_args());
  ASSERT_EQ(again.exit_code, 0) << again.out;
  EXPECT_TRUE(fs::exists(journal_));
  ASSERT_EQ(ctl({"stop"}).exit_code, 0);
  EXPECT_FALSE(fs::exists(journal_));
  EXPECT_TRUE(network_as_before()) << world_.diff_from_initial().out;
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
  o.program = world_.client_path();
  o.args = start_args();
  o.args.insert(o.args.begin(), "--json");
  o.env = world_.env();
  o.stdout_mode = platform::StdioMode::null_device;
  o.stderr_mode = platform::StdioMode::null_device;
  auto client = platform::spawn_process(o);
  ASSERT_TRUE(client);
  ASSERT_TRUE(test::within(kWaitBound, [&] {
    return test::read_file(world_.netsim_state() + ".log").find(k.probe) != std::string::npos;
  }, 20ms)) << "the bring-up never reached " << k.probe;
  kill_service_hard();
  (void)client->wait();
  EXPECT_EQ(fs::exists(journal_), k.journal);
  ASSERT_EQ(netsim({"fault", "clear"}).exit_code, 0);

  start_service(false);
  expect_state_within("idle", kWaitBound);
  EXPECT_TRUE(network_as_before()) << world_.diff_from_initial().out;
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
  fs::create_directories(world_.data_folder());
  std::ofstream(journal_) << "brenmoor network journal 1\nalias Brenmoor Device Path\ntun_interface_index 15\n"
                             "ipv4_gateway 192.168.1.1\nipv4_interface_index 12\nipv6_gateway \nipv6_interface_index \n"
                             "ipv4_split_routes_installed 1\nipv4_server 192.168.1.0; route DELETE 0.0.0.0\nend\n";
  start_service(false);
  expect_state_within("idle", kWaitBound);
  EXPECT_FALSE(fs::exists(journal_));
  EXPECT_TRUE(fs::exists(journal_ + ".rejected"));
  EXPECT_FALSE(fs::exists(world_.netsim_state() + ".log")) << test::read_file(world_.netsim_state() + ".log");
  EXPECT_NE(log().find("network journal rejected: journal_malformed:ipv4_server; set aside as "), std::string::npos)
      << log();
  EXPECT_TRUE(network_as_before());
}

}  // namespace
}  // namespace brenmoor
