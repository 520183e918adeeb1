// Route, DNS and teardown command tables, run through a recording runner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/routes.h"
#include "network_fakes.h"

namespace brenmoor {
namespace {

const std::string kAlias = "Brenmoor Device Path";
using Cmds = std::vector<NetworkCommand>;

NetworkCommand route(std::vector<std::string> a) { return {"route", std::move(a)}; }
NetworkCommand netsh(std::vector<std::string> a) { return {"netsh", std::move(a)}; }

NetworkState paths_state() {
  NetworkState s;
  s.tun_interface_index = "15";
  s.ipv4_gateway = "192.168.1.1";
  s.ipv4_interface_index = "12";
  s.ipv6_gateway = "fe80::1";
  s.ipv6_interface_index = "12";
  s.dns_snapshot = {"192.168.1.1"};
  return s;
}

const std::string kCleanupScript =
    "$alias='Brenmoor Device Path'; $ips=@('10.88.91.1','10.203.91.1','10.241.91.1','172.29.91.1','172.19.0.1',"
    "'fd00:ae91::1'); foreach ($ip in $ips) { foreach ($store in @('ActiveStore','PersistentStore')) { "
    "Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore $store -Confirm:$false -ErrorAction "
    "SilentlyContinue } }";

TEST(SetupSteps, ExactCommandsInOrder) {
  const auto steps = setup_steps(kAlias, paths_state(), {"203.0.113.5", "203.0.113.6"}, {"2001:db8::5"});
  const std::vector<SetupStep> expected = {
      {route({"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}), SetupRecord::none, "", true},
      {route({"ADD", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12", "METRIC", "1"}),
       SetupRecord::ipv4_server, "203.0.113.5", false},
      {route({"DELETE", "203.0.113.6", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}), SetupRecord::none, "", true},
      {route({"ADD", "203.0.113.6", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12", "METRIC", "1"}),
       SetupRecord::ipv4_server, "203.0.113.6", false},
      {netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=active"}),
       SetupRecord::none, "", true},
      {netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=persistent"}),
       SetupRecord::none, "", true},
      {netsh({"interface", "ipv6", "add", "route", "2001:db8::5/128", "12", "fe80::1", "metric=1", "store=active"}),
       SetupRecord::ipv6_server, "2001:db8::5", false},
      {netsh({"interface", "ip", "set", "dns", kAlias, "static", "1.1.1.1", "primary", "validate=no"}), SetupRecord::none, "",
       false},
      {netsh({"interface", "ipv4", "set", "interface", kAlias, "metric=1"}), SetupRecord::none, "", false},
      {route({"ADD", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15", "METRIC", "1"}), SetupRecord::ipv4_split_routes,
       "", false},
      {route({"ADD", "128.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15", "METRIC", "1"}), SetupRecord::none, "", false},
      {netsh({"interface", "ipv6", "set", "interface", kAlias, "metric=1"}), SetupRecord::none, "", false},
      {netsh({"interface", "ipv6", "add", "route", "::/1", kAlias, "::", "metric=1", "store=active"}), SetupRecord::none, "",
       false},
      {netsh({"interface", "ipv6", "add", "route", "8000::/1", kAlias, "::", "metric=1", "store=active"}),
       SetupRecord::none, "", false},
  };
  ASSERT_EQ(steps.size(), expected.size());
  for (std::size_t i = 0; i < steps.size(); ++i) EXPECT_EQ(steps[i], expected[i]) << "step " << i;
}

TEST(SetupSteps, IPv6ServersNeedBothIPv6PathFields) {
  struct Row {
    const char* name;
    std::string gateway;
    std::string index;
  };
  const Row rows[] = {{"no_path", "", ""}, {"no_gateway", "", "12"}, {"no_index", "fe80::1", ""}};
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    NetworkState s = paths_state();
    s.ipv6_gateway = r.gateway;
    s.ipv6_interface_index = r.index;
    for (const auto& step : setup_steps(kAlias, s, {}, {"2001:db8::5"})) {
      EXPECT_NE(step.record, SetupRecord::ipv6_server);
      for (const auto& arg : step.command.args) EXPECT_EQ(arg.find("2001:db8::5"), std::string::npos);
    }
  }
}

TEST(SetupSteps, RecordsBeforeTheCommandRunsAndStopsAtTheFirstCountingFailure) {
  NetworkState state = paths_state();
  const auto steps = setup_steps(kAlias, state, {"203.0.113.5"}, {"2001:db8::5"});
  test::RecordingRunner runner;
  std::vector<NetworkState> seen;  // the state as each command started
  runner.on_run = [&](const NetworkCommand& c) -> Status {
    seen.push_back(state);
    if (c.args[0] == "DELETE" || c.args[2] == "delete") return fail(kCommandFailed);  // rows 1 and 3: ignored
    if (c.args[0] == "ADD" && c.args[1] == "0.0.0.0") return fail(kCommandTimeout);   // row 7 counts
    return {};
  };
  Status s = run_setup_steps(runner, steps, state);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), kCommandTimeout);
  // The add of the IPv4 server ran with the server already recorded; the failing
  // split route with the flag already set; nothing ran after it.
  ASSERT_EQ(seen.size(), 8u);
  EXPECT_EQ(seen[0].ipv4_servers, std::vector<std::string>{});
  EXPECT_EQ(seen[1].ipv4_servers, std::vector<std::string>{"203.0.113.5"});
  EXPECT_EQ(seen[3].ipv6_servers, std::vector<std::string>{});
  EXPECT_EQ(seen[4].ipv6_servers, std::vector<std::string>{"2001:db8::5"});
  EXPECT_FALSE(seen[6].ipv4_split_routes_installed);
  EXPECT_TRUE(seen[7].ipv4_split_routes_installed);
  EXPECT_EQ(runner.calls.back(), route({"ADD", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15", "METRIC", "1"}));
}

TEST(Teardown, ExactCommandTables) {
  NetworkState full = paths_state();
  full.ipv4_servers = {"203.0.113.5"};
  full.ipv6_servers = {"2001:db8::5"};
  full.ipv4_split_routes_installed = true;
  full.dns_snapshot = {"192.168.1.1", "192.168.1.2", "9.9.9.9"};

  // After the guard moved the server from gateway A (192.168.1.1 on 12) to B
  // (10.0.0.1 on 7), and moved the IPv6 route as well.
  NetworkState moved = full;
  moved.ipv4_gateway = "10.0.0.1";
  moved.ipv4_interface_index = "7";
  moved.bypass_routes = {{false, "203.0.113.5", "10.0.0.1", "7"},
                         {false, "203.0.113.5", "192.168.1.1", "12"},
                         {true, "2001:db8::5", "fe80::2", "7"}};

  NetworkState flag_without_index;
  flag_without_index.ipv4_split_routes_installed = true;

  const Cmds ipv6_split_deletes = {
      netsh({"interface", "ipv6", "delete", "route", "::/1", kAlias, "store=active"}),
      netsh({"interface", "ipv6", "delete", "route", "::/1", kAlias, "store=persistent"}),
      netsh({"interface", "ipv6", "delete", "route", "8000::/1", kAlias, "store=active"}),
      netsh({"interface", "ipv6", "delete", "route", "8000::/1", kAlias, "store=persistent"}),
  };
  const Cmds ipv4_split_deletes = {
      route({"DELETE", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15"}),
      route({"DELETE", "128.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15"}),
  };
  const NetworkCommand cleanup = {"powershell.exe", {"-NoProfile", "-Command", kCleanupScript}};
  const Cmds server_deletes_a = {
      route({"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}),
      netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=active"}),
      netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=persistent"}),
  };
  auto cat = [](std::initializer_list<Cmds> parts) {
    Cmds out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
  };

  struct Row {
    const char* name;
    NetworkState state;
    bool cleanup_addresses;
    Cmds expected;
  };
  const Row rows[] = {
      {"full_with_cleanup", full, true, cat({ipv4_split_deletes, ipv6_split_deletes, {cleanup}, server_deletes_a})},
      {"full_without_cleanup", full, false, cat({ipv4_split_deletes, ipv6_split_deletes, server_deletes_a})},
      {"empty_state_with_cleanup", NetworkState{}, true, cat({ipv6_split_deletes, {cleanup}})},
      {"empty_state_without_cleanup", NetworkState{}, false, ipv6_split_deletes},
      {"split_flag_without_tun_index", flag_without_index, false, ipv6_split_deletes},
      {"after_guard_move", moved, false,
       cat({ipv4_split_deletes, ipv6_split_deletes,
            {route({"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "10.0.0.1", "IF", "7"}),
             netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=active"}),
             netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=persistent"}),
             route({"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "10.0.0.1", "IF", "7"}),
             route({"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}),
             netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "7", "fe80::2", "store=active"}),
             netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "7", "fe80::2", "store=persistent"})}})},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(teardown_commands(r.state, kAlias, r.cleanup_addresses), r.expected);
  }
}

TEST(Teardown, DnsRestoreForZeroOneAndThreeServers) {
  struct Row {
    const char* name;
    std::vector<std::string> snapshot;
    Cmds expected;
  };
  const Row rows[] = {
      {"none_means_dhcp", {}, {netsh({"interface", "ip", "set", "dns", kAlias, "dhcp"})}},
      {"one", {"192.168.1.1"}, {netsh({"interface", "ip", "set", "dns", kAlias, "static", "192.168.1.1", "primary", "validate=no"})}},
      // Each further server goes to its own position, so the order comes back as it was.
      {"three",
       {"10.0.0.53", "10.0.1.53", "9.9.9.9"},
       {netsh({"interface", "ip", "set", "dns", kAlias, "static", "10.0.0.53", "primary", "validate=no"}),
        netsh({"interface", "ip", "add", "dns", kAlias, "10.0.1.53", "index=2", "validate=no"}),
        netsh({"interface", "ip", "add", "dns", kAlias, "9.9.9.9", "index=3", "validate=no"})}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(dns_restore_commands(r.snapshot, kAlias), r.expected);
  }
}

TEST(Teardown, RunsEverythingAndLogsOnlyFailedDnsRestores) {
  NetworkState s = paths_state();
  s.ipv4_servers = {"203.0.113.5"};
  s.ipv4_split_routes_installed = true;
  s.dns_snapshot = {"10.0.0.53", "10.0.1.53", "9.9.9.9"};
  test::RecordingRunner runner;
  // Every command fails: deletions quietly, DNS commands with one log line each.
  runner.on_run = [](const NetworkCommand& c) -> Status {
    if (c.args.size() > 3 && c.args[3] == "dns" && c.args.back() == "validate=no" && c.args[5] == "10.0.1.53") {
      return fail(kCommandTimeout);
    }
    return fail(kCommandFailed);
  };
  test::LogMark mark;
  teardown_network(runner, kAlias, s, true);
  Cmds expected = teardown_commands(s, kAlias, true);
  const Cmds dns = dns_restore_commands(s.dns_snapshot, kAlias);
  expected.insert(expected.end(), dns.begin(), dns.end());
  EXPECT_EQ(runner.calls, expected);
  EXPECT_EQ(mark.messages(), (std::vector<std::string>{"DNS restoration failed: command_failed",
                                                       "DNS restoration failed: command_timeout",
                                                       "DNS restoration failed: command_failed"}));

  // Succeeding commands log nothing; a second run is the same commands again.
  runner.calls.clear();
  runner.on_run = nullptr;
  test::LogMark quiet;
  teardown_network(runner, kAlias, s, true);
  EXPECT_EQ(runner.calls, expected);
  EXPECT_TRUE(quiet.messages().empty());
}

TEST(BypassLedger, RecordingNeverDuplicates) {
  NetworkState s;
  const BypassRoute a{false, "203.0.113.5", "192.168.1.1", "12"};
  const BypassRoute b{false, "203.0.113.5", "10.0.0.1", "7"};
  const BypassRoute a6{true, "203.0.113.5", "192.168.1.1", "12"};  // differs only in family
  record_bypass_route(s, a);
  record_bypass_route(s, b);
  record_bypass_route(s, a);
  record_bypass_route(s, a6);
  record_bypass_route(s, b);
  EXPECT_EQ(s.bypass_routes, (std::vector<BypassRoute>{a, b, a6}));
}

TEST(BypassLedger, DeleteAndAddCommands) {
  test::RecordingRunner runner;
  delete_bypass_route(runner, {false, "203.0.113.5", "192.168.1.1", "12"});
  delete_bypass_route(runner, {true, "2001:db8::5", "fe80::1", "12"});
  EXPECT_EQ(runner.calls,
            (Cmds{route({"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}),
                  netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=active"}),
                  netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=persistent"})}));
  EXPECT_EQ(host_route_add_command(false, "203.0.113.5", "10.0.0.1", "7"),
            route({"ADD", "203.0.113.5", "MASK", "255.255.255.255", "10.0.0.1", "IF", "7", "METRIC", "1"}));
  EXPECT_EQ(host_route_add_command(true, "2001:db8::5", "fe80::2", "7"),
            netsh({"interface", "ipv6", "add", "route", "2001:db8::5/128", "7", "fe80::2", "metric=1", "store=active"}));
}

}  // namespace
}  // namespace brenmoor
