// The real runner, bring-up and teardown against the simulated Windows network:
// netsim copies named route, netsh and powershell.exe first on PATH. What users care
// about is checked on the simulated network itself: after a session, or after any
// failed bring-up, the network is as it was (interface metrics aside: the service
// does not restore them).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "network/routes.h"
#include "network/tun_network.h"
#include "network_fakes.h"
#include "platform/env.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kAlias = "Brenmoor Device Path";
const std::vector<std::string> kTunDns = {"10.0.0.53", "10.0.1.53", "9.9.9.9"};

struct ToolRun {
  std::uint32_t code = 0xFFFFFFFF;
  std::string out;
};

HostResolver both_families() {
  return [](std::string_view) {
    return Result<std::vector<platform::ResolvedAddress>>(
        std::vector<platform::ResolvedAddress>{{false, "203.0.113.5"}, {true, "2001:db8:ffff::5"}});
  };
}

class NetsimNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::make_temp_dir("netsim-net");
    const std::string bin = test::bin_path("netsim");
    ASSERT_TRUE(fs::exists(bin)) << bin;
    for (const char* name : {"route", "netsh", "powershell.exe"}) fs::copy_file(bin, fs::path(dir_) / name);
    state_ = dir_ + "/state.json";
    saved_path_ = platform::get_env("PATH");
    saved_netsim_ = platform::get_env("BRENMOOR_NETSIM");
    ::setenv("PATH", (dir_ + ":" + saved_path_.value_or("/usr/bin:/bin")).c_str(), 1);
    ::setenv("BRENMOOR_NETSIM", state_.c_str(), 1);
  }
  void TearDown() override {
    if (saved_path_) ::setenv("PATH", saved_path_->c_str(), 1);
    if (saved_netsim_) {
      ::setenv("BRENMOOR_NETSIM", saved_netsim_->c_str(), 1);
    } else {
      ::unsetenv("BRENMOOR_NETSIM");
    }
  }

  ToolRun netsim(std::vector<std::string> args) {
    platform::SpawnOptions o;
    o.program = test::bin_path("netsim");
    o.args = std::move(args);
    o.stdout_mode = platform::StdioMode::pipe;
    auto p = platform::spawn_process(o);
    if (!p) return {};
    platform::PipeReader out = p->take_stdout();
    platform::PipeReader err;
    auto bytes = platform::read_to_end(out, err);
    auto code = p->wait();
    return {code.value_or(0xFFFFFFFF), bytes ? bytes->stdout_bytes : ""};
  }

  // A typical machine with the engine's adapter (owned by this process, so it
  // stays) carrying three DNS servers of its own.
  void fresh_machine() {
    ASSERT_EQ(netsim({"init-typical"}).code, 0u);
    ASSERT_EQ(netsim({"add-engine-adapter", kAlias, "--owner", std::to_string(::getpid())}).code, 0u);
    ASSERT_TRUE(run_network_command("netsh", {"interface", "ip", "set", "dns", kAlias, "static", kTunDns[0], "primary",
                                              "validate=no"}));
    for (std::size_t i = 1; i < kTunDns.size(); ++i) {
      ASSERT_TRUE(run_network_command(
          "netsh", {"interface", "ip", "add", "dns", kAlias, kTunDns[i], "index=" + std::to_string(i + 1), "validate=no"}));
    }
    before_ = dir_ + "/before.json";
    fs::copy_file(state_, before_, fs::copy_options::overwrite_existing);
  }

  std::string dump() { return netsim({"dump"}).out; }

  // The differences from the saved state, interface metrics left out.
  std::vector<std::string> differences() {
    ToolRun diff = netsim({"diff", before_});
    EXPECT_NE(diff.code, 2u) << diff.out;
    static const std::regex metric(" ipv[46]_metric=[0-9]+");
    std::vector<std::string> removed, added, other;
    for (auto line : output_lines(diff.out)) {
      std::string l(line);
      if (l.rfind("- interface ", 0) == 0) {
        removed.push_back(std::regex_replace(l.substr(2), metric, ""));
      } else if (l.rfind("+ interface ", 0) == 0) {
        added.push_back(std::regex_replace(l.substr(2), metric, ""));
      } else {
        other.push_back(l);
      }
    }
    std::sort(removed.begin(), removed.end());
    std::sort(added.begin(), added.end());
    if (removed != added) {
      for (auto& r : removed) other.push_back("- " + r);
      for (auto& a : added) other.push_back("+ " + a);
    }
    return other;
  }

  std::string rejected() { return test::read_file(state_ + ".rejected"); }

  std::string dir_, state_, before_;
  std::optional<std::string> saved_path_, saved_netsim_;
};

TEST_F(NetsimNetwork, SessionBringUpAndTeardownLeaveTheNetworkAsItWas) {
  fresh_machine();
  SystemCommandRunner runner;
  auto dns = snapshot_tun_dns(runner, kAlias);
  ASSERT_TRUE(dns.has_value()) << dns.error();
  EXPECT_EQ(*dns, kTunDns);

  auto state = configure_tun_network(runner, kAlias, "vpn.example.net", *dns, both_families());
  ASSERT_TRUE(state.has_value()) << state.error();
  EXPECT_EQ(state->tun_interface_index, "15");
  EXPECT_EQ(state->ipv4_servers, std::vector<std::string>{"203.0.113.5"});
  EXPECT_EQ(state->ipv6_servers, std::vector<std::string>{"2001:db8:ffff::5"});

  const std::string up = dump();
  for (const char* line : {"address 15 10.88.91.1/30 store=ActiveStore state=Preferred",
                           "address 15 fd00:ae91::1/64 store=ActiveStore state=Preferred",
                           "route 12 203.0.113.5/32 via 192.168.1.1 metric=1 store=ActiveStore",
                           "route 12 2001:db8:ffff::5/128 via fe80::1 metric=1 store=ActiveStore",
                           "route 15 0.0.0.0/1 via 0.0.0.0 metric=1 store=ActiveStore",
                           "route 15 128.0.0.0/1 via 0.0.0.0 metric=1 store=ActiveStore",
                           "route 15 ::/1 via :: metric=1 store=ActiveStore",
                           "route 15 8000::/1 via :: metric=1 store=ActiveStore", "dns 15 1.1.1.1"}) {
    EXPECT_NE(up.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << up;
  }

  // The session stop: teardown with address cleanup, then again without.
  test::LogMark mark;
  teardown_network(runner, kAlias, *state, true);
  teardown_network(runner, kAlias, *state, false);
  EXPECT_EQ(differences(), std::vector<std::string>{});
  EXPECT_NE(dump().find("dns 15 10.0.0.53 10.0.1.53 9.9.9.9\n"), std::string::npos) << dump();
  EXPECT_TRUE(mark.messages().empty());
  EXPECT_EQ(rejected(), "");
}

TEST_F(NetsimNetwork, EveryFailedBringUpLeavesTheNetworkAsItWas) {
  struct Row {
    const char* name;
    std::string match;
    std::string action;
    std::string code;
  };
  const Row rows[] = {
      {"ipv4_path_garbage", "-DestinationPrefix '0.0.0.0/0' |", "garbage", "default_route_missing"},
      {"no_adapter_index", "Get-NetAdapter", "fail", "command_failed"},
      {"inventory_fails", "$addr=Get-NetIPAddress", "fail", "command_failed"},
      {"assign_ipv4", "-PrefixLength 30", "fail", "tun_address_assign_failed:command_failed"},
      {"assign_ipv4_half_done", "-PrefixLength 30", "exit1", "tun_address_assign_failed:command_failed"},
      {"assign_ipv6_half_done", "-PrefixLength 64", "exit1", "tun_address_assign_failed:command_failed"},
      {"ipv4_stays_tentative", "-PrefixLength 30", "tentative", "tun_address_not_preferred:command_failed"},
      {"ipv6_stays_tentative", "-PrefixLength 64", "tentative", "tun_address_not_preferred:command_failed"},
      {"server_route_half_done", "ADD 203.0.113.5", "exit1", "command_failed"},
      {"ipv6_server_route_half_done", "add route 2001:db8:ffff::5/128", "exit1", "command_failed"},
      {"dns", "static 1.1.1.1", "fail", "command_failed"},
      {"ipv4_metric", "ipv4 set interface", "fail", "command_failed"},
      {"first_split_route_half_done", "ADD 0.0.0.0 MASK 128.0.0.0", "exit1", "command_failed"},
      {"second_split_route_half_done", "ADD 128.0.0.0 MASK 128.0.0.0", "exit1", "command_failed"},
      {"ipv6_metric", "ipv6 set interface", "exit1", "command_failed"},
      {"first_ipv6_split_half_done", "add route ::/1", "exit1", "command_failed"},
      {"second_ipv6_split_hangs", "add route 8000::/1", "hang", "command_timeout"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    fresh_machine();
    ASSERT_EQ(netsim({"fault", "add", "--match", r.match, "--action", r.action, "--count", "1"}).code, 0u);
    RunnerConfig config;
    config.limits.command_limit = 3s;  // the hanging row: the limit itself is proven elsewhere
    SystemCommandRunner runner(config);
    auto dns = snapshot_tun_dns(runner, kAlias);
    ASSERT_TRUE(dns.has_value());
    auto state = configure_tun_network(runner, kAlias, "vpn.example.net", *dns, both_families());
    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error(), r.code);
    EXPECT_EQ(differences(), std::vector<std::string>{});
  }
  EXPECT_EQ(rejected(), "");
}

}  // namespace
}  // namespace brenmoor
