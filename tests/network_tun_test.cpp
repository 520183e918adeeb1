// Path discovery, address choice and the whole bring-up against a scripted runner.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/routes.h"
#include "network/tun_network.h"
#include "network_fakes.h"

namespace brenmoor {
namespace {

const std::string kAlias = "Brenmoor Device Path";
using Cmds = std::vector<NetworkCommand>;

NetworkCommand route(std::vector<std::string> a) { return {"route", std::move(a)}; }
NetworkCommand netsh(std::vector<std::string> a) { return {"netsh", std::move(a)}; }

// ---- parsers ----------------------------------------------------------------------------

TEST(PathParsing, DefaultPathOutput) {
  struct Row {
    const char* name;
    std::string output;
    Result<PhysicalPath> expected;
  };
  const Row rows[] = {
      {"plain", "192.168.1.1,12\r\n", PhysicalPath{"192.168.1.1", "12"}},
      {"ipv6", "fe80::1,12\n", PhysicalPath{"fe80::1", "12"}},
      {"spaces_trimmed", "  192.168.1.1 , 12 \n", PhysicalPath{"192.168.1.1", "12"}},
      {"first_non_empty_line", "\r\n\n10.0.0.1,7\n192.168.1.1,12\n", PhysicalPath{"10.0.0.1", "7"}},
      {"third_field_dropped", "10.0.0.1,7,extra", PhysicalPath{"10.0.0.1", "7"}},
      {"zone_kept_as_text", "fe80::1%12,12", PhysicalPath{"fe80::1%12", "12"}},
      {"empty", "", fail("default_route_missing")},
      {"blank_lines", " \r\n\t\n", fail("default_route_missing")},
      {"no_comma", "192.168.1.1\n", fail("default_route_missing")},
      {"nothing_before_comma", ",12\n", fail("default_route_missing")},
      {"nothing_after_comma", "192.168.1.1,\n", fail("default_route_missing")},
      {"blank_index", "192.168.1.1, ,5\n", fail("default_route_missing")},
      {"first_line_bad_second_good", "garbage\n192.168.1.1,12\n", fail("default_route_missing")},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(parse_default_path(r.output), r.expected);
  }
}

TEST(PathParsing, PathListSkipsLinesThatDoNotParse) {
  EXPECT_EQ(parse_physical_paths("10.0.0.1,7\r\njunk\r\n,3\r\n\r\n192.168.1.1,12\r\n"),
            (std::vector<PhysicalPath>{{"10.0.0.1", "7"}, {"192.168.1.1", "12"}}));
  EXPECT_TRUE(parse_physical_paths("").empty());
}

struct ChoiceRow {
  const char* name;
  std::string inventory;
  std::optional<std::string_view> expected;
};

TEST(TunAddressChoice, CandidatesAgainstTheInventory) {
  const ChoiceRow rows[] = {
      {"nothing_occupied", "", "10.88.91.1"},
      {"typical_lan", "192.168.1.23/24,12,address\n192.168.1.0/24,12,route\n127.0.0.1/8,1,address", "10.88.91.1"},
      {"lan_on_first_candidate", "10.88.91.23/24,12,address", "10.203.91.1"},
      {"plus_host_route_on_second", "10.88.91.23/24,12,address\n10.203.91.2/32,7,route", "10.241.91.1"},
      {"wide_route_ignored", "10.0.0.0/8,3,route", "10.88.91.1"},
      {"route_of_15_ignored", "10.88.0.0/15,3,route", "10.88.91.1"},
      {"route_of_16_counts", "10.88.0.0/16,3,route", "10.203.91.1"},
      {"address_of_8_blocks_all_10", "10.1.2.3/8,12,address", "172.29.91.1"},
      {"address_of_7_ignored", "10.1.2.3/7,12,address", "10.88.91.1"},
      {"tun_own_leftover_ignored", "10.88.91.1/30,15,address\n10.88.91.0/30,15,route", "10.88.91.1"},
      {"neighbour_range_touching_is_free", "10.88.91.4/30,12,address\n10.88.90.0/24,12,route", "10.88.91.1"},
      {"host_address_inside", "10.88.91.3/32,12,address", "10.203.91.1"},
      {"all_blocked",
       "10.0.0.1/8,12,address\n172.29.91.0/24,9,route", std::nullopt},
      {"kind_is_exact", "10.88.91.1/24,12,Address\n10.88.91.1/24,12,routes\n10.88.91.1/24,12,", "10.88.91.1"},
      {"kind_ends_at_third_comma", "10.88.91.1/24,12,address,extra", "10.203.91.1"},
      {"fields_trimmed", "  10.88.91.1/24 , 12 , address  ", "10.203.91.1"},
      {"too_few_fields", "10.88.91.1/24,12\n10.88.91.1/24", "10.88.91.1"},
      {"not_dotted_ipv4",
       "fd00:ae91::/64,12,route\n10.88.91/24,12,address\n10.88.91.1.5/24,12,address\n010.88.91.1/24,12,address\n"
       "10.88.91.256/24,12,address\n+10.88.91.1/24,12,address",
       "10.88.91.1"},
      {"bad_lengths", "10.88.91.1/0,12,address\n10.88.91.1/33,12,address\n10.88.91.1/,12,address\n10.88.91.1,12,address",
       "10.88.91.1"},
      {"length_32_counts", "10.88.91.0/32,12,route", "10.203.91.1"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(choose_tun_ipv4(occupied_ranges(r.inventory, "15")), r.expected);
  }
}

TEST(TunAddressChoice, OccupiedRangeBounds) {
  EXPECT_EQ(occupied_ranges("10.88.91.23/24,12,address\n192.168.0.1/32,3,route\n10.1.2.3/8,4,address", "15"),
            (std::vector<Ipv4Range>{{0x0A585B00u, 0x0A585BFFu}, {0xC0A80001u, 0xC0A80001u}, {0x0A000000u, 0x0AFFFFFFu}}));
}

// ---- server addresses ----------------------------------------------------------------------

TEST(ServerAddresses, LiteralsAndResolvedNames) {
  using platform::ResolvedAddress;
  struct Row {
    const char* name;
    std::string server;
    Result<std::vector<ResolvedAddress>> resolved;
    Result<ServerAddresses> expected;
    bool resolver_called;
  };
  const Row rows[] = {
      {"ipv4_literal", "203.0.113.5", fail("unused"), ServerAddresses{{"203.0.113.5"}, {}}, false},
      {"ipv6_literal_canonical", "2001:DB8:0::5", fail("unused"), ServerAddresses{{}, {"2001:db8::5"}}, false},
      {"resolved_texts_canonical", "odd.example.net",
       std::vector<ResolvedAddress>{{true, "2001:DB8::5"}, {true, "2001:db8:0::5"}},
       ServerAddresses{{}, {"2001:db8::5"}}, true},
      {"two_v4_one_v6_and_a_repeat",
       "vpn.example.net",
       std::vector<ResolvedAddress>{{false, "203.0.113.5"}, {true, "2001:db8::5"}, {false, "203.0.113.6"},
                                    {false, "203.0.113.5"}, {true, "2001:db8::5"}},
       ServerAddresses{{"203.0.113.5", "203.0.113.6"}, {"2001:db8::5"}}, true},
      {"only_v6", "v6.example.net", std::vector<ResolvedAddress>{{true, "2001:db8::5"}},
       ServerAddresses{{}, {"2001:db8::5"}}, true},
      {"resolver_error", "nx.example.net", fail(platform::kResolveFailed), fail("server_resolution_failed"), true},
      {"no_addresses", "empty.example.net", std::vector<ResolvedAddress>{}, fail("server_resolution_failed"), true},
      {"bracketed_is_a_name", "[2001:db8::5]", fail(platform::kResolveFailed), fail("server_resolution_failed"), true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    bool called = false;
    auto got = resolve_server_addresses(r.server, [&](std::string_view host) {
      called = true;
      EXPECT_EQ(host, r.server);
      return r.resolved;
    });
    EXPECT_EQ(got, r.expected);
    EXPECT_EQ(called, r.resolver_called);
  }
}

// What a DNS answer may not turn into a route around the tunnel. The stand-in
// resolver answers with one address of each kind among two real servers.
TEST(ServerAddresses, AnswersThatMustNotBypassTheTunnelAreDropped) {
  using platform::ResolvedAddress;
  const char* const never[] = {
      "0.0.0.0",       "127.0.0.1",      "127.8.9.10",     "224.0.0.1",       "239.255.255.250",
      "255.255.255.255", "169.254.1.1",  "169.254.255.255", "1.1.1.1",        "::",
      "::1",           "ff02::1",        "ff0e::5",        "fe80::1",         "febf:ffff::1",
      "::ffff:1.1.1.1", "::ffff:127.0.0.1", "::ffff:169.254.0.9",
  };
  for (const char* bad : never) {
    SCOPED_TRACE(bad);
    const bool v6 = std::string_view(bad).find(':') != std::string_view::npos;
    const std::vector<ResolvedAddress> answer = {{false, "203.0.113.5"}, {v6, bad}, {true, "2001:db8::5"}};
    EXPECT_EQ(resolve_server_addresses("vpn.example.net", [&](std::string_view) { return answer; }),
              (Result<ServerAddresses>(ServerAddresses{{"203.0.113.5"}, {"2001:db8::5"}})));
    // Alone, or as the server's literal, nothing is left.
    EXPECT_EQ(resolve_server_addresses("vpn.example.net",
                                       [&](std::string_view) { return std::vector<ResolvedAddress>{{v6, bad}}; }),
              (Result<ServerAddresses>(fail("server_resolution_failed"))));
    EXPECT_EQ(resolve_server_addresses(bad, [](std::string_view) -> Result<std::vector<ResolvedAddress>> {
                return fail("unused");
              }),
              (Result<ServerAddresses>(fail("server_resolution_failed"))));
  }
  // Their neighbours are servers like any other.
  const std::vector<ResolvedAddress> neighbours = {
      {false, "1.1.1.2"}, {false, "1.0.0.1"}, {false, "126.255.255.255"}, {false, "128.0.0.1"},
      {false, "169.253.255.255"}, {false, "169.255.0.1"}, {false, "223.255.255.255"}, {false, "240.0.0.1"},
      {true, "fec0::1"}, {true, "fe7f::1"}, {true, "::2"}, {true, "::ffff:8.8.8.8"}, {true, "fd00::1"}};
  EXPECT_EQ(resolve_server_addresses("vpn.example.net", [&](std::string_view) { return neighbours; }),
            (Result<ServerAddresses>(ServerAddresses{
                {"1.1.1.2", "1.0.0.1", "126.255.255.255", "128.0.0.1", "169.253.255.255", "169.255.0.1",
                 "223.255.255.255", "240.0.0.1"},
                {"fec0::1", "fe7f::1", "::2", "::ffff:8.8.8.8", "fd00::1"}})));
}

TEST(ServerAddresses, AtMostEightOfEachFamilyInResolverOrder) {
  using platform::ResolvedAddress;
  std::vector<ResolvedAddress> answer;
  std::vector<std::string> v4, v6;
  for (int i = 1; i <= 300; ++i) {
    // Repeats and dropped kinds do not use up a place.
    answer.push_back({false, "127.0.0." + std::to_string(i % 250 + 1)});
    answer.push_back({false, "203.0.113." + std::to_string(i % 250)});
    answer.push_back({false, "203.0.113." + std::to_string(i % 250)});
    answer.push_back({true, "2001:db8::" + std::to_string(i)});
    if (v4.size() < 8) v4.push_back("203.0.113." + std::to_string(i % 250));
    if (v6.size() < 8) v6.push_back("2001:db8::" + std::to_string(i));
  }
  EXPECT_EQ(resolve_server_addresses("vpn.example.net", [&](std::string_view) { return answer; }),
            (Result<ServerAddresses>(ServerAddresses{v4, v6})));
}

TEST(ServerAddresses, SystemResolverListsLoopback) {
  // "localhost" resolves on every system without a network; literals need no lookup.
  auto got = platform::resolve_host("localhost", "443");
  ASSERT_TRUE(got.has_value());
  bool loopback = false;
  for (const auto& a : *got) loopback = loopback || a.text == "127.0.0.1" || a.text == "::1";
  EXPECT_TRUE(loopback);
  auto literal = platform::resolve_host("2001:db8:0:0::5", "443");
  ASSERT_TRUE(literal.has_value());
  ASSERT_EQ(literal->size(), 1u);
  EXPECT_EQ(literal->front(), (platform::ResolvedAddress{true, "2001:db8::5"}));  // standard text form
  EXPECT_FALSE(platform::resolve_host(std::string("a\0b", 3), "443").has_value());
}

// ---- DNS snapshot -----------------------------------------------------------------------

TEST(DnsSnapshot, LinesOrEmptyOrRunnerCode) {
  struct Row {
    const char* name;
    Result<std::string> output;
    Result<std::vector<std::string>> expected;
  };
  const Row rows[] = {
      {"three", std::string("10.0.0.53\r\n10.0.1.53\r\n\r\n 9.9.9.9 \r\n"),
       std::vector<std::string>{"10.0.0.53", "10.0.1.53", "9.9.9.9"}},
      {"none", std::string("\r\n"), std::vector<std::string>{}},
      {"runner_code", fail(kCommandTimeout), fail(kCommandTimeout)},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::RecordingRunner runner;
    runner.on_query = [&](std::string_view) { return r.output; };
    EXPECT_EQ(snapshot_tun_dns(runner, "it's"), r.expected);
    EXPECT_EQ(runner.calls,
              (Cmds{test::query("(Get-DnsClientServerAddress -InterfaceAlias 'it''s' -AddressFamily IPv4).ServerAddresses")}));
  }
}

// ---- the bring-up ------------------------------------------------------------------------

// A machine as the scripted runner answers it.
struct Machine {
  Result<std::string> ipv4_path = std::string("192.168.1.1,12\r\n");
  Result<std::string> ipv6_path = std::string("fe80::1,12\r\n");
  Result<std::string> adapter_index = std::string("15\r\n");
  Result<std::string> inventory = std::string("192.168.1.23/24,12,address\r\n192.168.1.0/24,12,route\r\n");
};

void script(test::RecordingRunner& runner, const Machine& m) {
  runner.on_query = [m](std::string_view s) -> Result<std::string> {
    if (s == default_path_script(IpFamily::ipv4)) return m.ipv4_path;
    if (s == default_path_script(IpFamily::ipv6)) return m.ipv6_path;
    if (s == adapter_index_script(kAlias)) return m.adapter_index;
    if (s == address_inventory_script()) return m.inventory;
    ADD_FAILURE() << "unexpected query " << s;
    return fail("unexpected");
  };
}

HostResolver resolver_for(std::vector<platform::ResolvedAddress> addresses) {
  return [addresses](std::string_view) { return Result<std::vector<platform::ResolvedAddress>>(addresses); };
}

NetworkCommand ps(std::string script) { return powershell_command(script); }

const std::vector<std::string> kSnapshot = {"192.168.1.1", "192.168.1.2"};

// The commands of a full bring-up for server 203.0.113.5 + 2001:db8::5 on the
// typical machine, written out in full.
Cmds bring_up_changes(std::string_view v4) {
  const std::string a = ps_literal(kAlias);
  const std::string ip4 = ps_literal(v4);
  return {
      ps("$alias=" + a + "; $ip=" + ip4 +
         "; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore ActiveStore -Confirm:$false "
         "-ErrorAction SilentlyContinue; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore "
         "PersistentStore -Confirm:$false -ErrorAction SilentlyContinue; New-NetIPAddress -InterfaceAlias $alias "
         "-IPAddress $ip -PrefixLength 30 -AddressFamily IPv4 -Type Unicast -SkipAsSource $false -PolicyStore "
         "ActiveStore -ErrorAction Stop | Out-Null"),
      ps("$alias=" + a +
         "; $ip='fd00:ae91::1'; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip -PolicyStore ActiveStore "
         "-Confirm:$false -ErrorAction SilentlyContinue; Remove-NetIPAddress -InterfaceAlias $alias -IPAddress $ip "
         "-PolicyStore PersistentStore -Confirm:$false -ErrorAction SilentlyContinue; New-NetIPAddress -InterfaceAlias "
         "$alias -IPAddress $ip -PrefixLength 64 -AddressFamily IPv6 -Type Unicast -SkipAsSource $false -PolicyStore "
         "ActiveStore -ErrorAction Stop | Out-Null"),
      ps("$alias=" + a + "; $ip=" + ip4 +
         "; $deadline=(Get-Date).AddSeconds(5); do { $addr=Get-NetIPAddress -InterfaceAlias $alias -IPAddress $ip "
         "-AddressFamily IPv4 -ErrorAction SilentlyContinue | Select-Object -First 1; if ($null -ne $addr -and "
         "$addr.AddressState -eq 'Preferred') { exit 0 }; Start-Sleep -Milliseconds 250 } while ((Get-Date) -lt "
         "$deadline); exit 1"),
      ps("$alias=" + a +
         "; $ip='fd00:ae91::1'; $deadline=(Get-Date).AddSeconds(5); do { $addr=Get-NetIPAddress -InterfaceAlias "
         "$alias -IPAddress $ip -AddressFamily IPv6 -ErrorAction SilentlyContinue | Select-Object -First 1; if ($null "
         "-ne $addr -and $addr.AddressState -eq 'Preferred') { exit 0 }; Start-Sleep -Milliseconds 250 } while "
         "((Get-Date) -lt $deadline); exit 1"),
      route({"DELETE", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12"}),
      route({"ADD", "203.0.113.5", "MASK", "255.255.255.255", "192.168.1.1", "IF", "12", "METRIC", "1"}),
      netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=active"}),
      netsh({"interface", "ipv6", "delete", "route", "2001:db8::5/128", "12", "fe80::1", "store=persistent"}),
      netsh({"interface", "ipv6", "add", "route", "2001:db8::5/128", "12", "fe80::1", "metric=1", "store=active"}),
      netsh({"interface", "ip", "set", "dns", kAlias, "static", "1.1.1.1", "primary", "validate=no"}),
      netsh({"interface", "ipv4", "set", "interface", kAlias, "metric=1"}),
      route({"ADD", "0.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15", "METRIC", "1"}),
      route({"ADD", "128.0.0.0", "MASK", "128.0.0.0", "0.0.0.0", "IF", "15", "METRIC", "1"}),
      netsh({"interface", "ipv6", "set", "interface", kAlias, "metric=1"}),
      netsh({"interface", "ipv6", "add", "route", "::/1", kAlias, "::", "metric=1", "store=active"}),
      netsh({"interface", "ipv6", "add", "route", "8000::/1", kAlias, "::", "metric=1", "store=active"}),
  };
}

const auto kBothFamilies =
    std::vector<platform::ResolvedAddress>{{false, "203.0.113.5"}, {true, "2001:db8::5"}, {false, "203.0.113.5"}};

Cmds queries() {
  return {test::query(default_path_script(IpFamily::ipv4)), test::query(default_path_script(IpFamily::ipv6)),
          test::query(adapter_index_script(kAlias)), test::query(address_inventory_script())};
}

TEST(ConfigureTunNetwork, FullBringUpRunsExactlyTheseCommands) {
  test::RecordingRunner runner;
  Machine m;
  m.inventory = std::string("10.88.91.23/24,12,address\r\n");  // the first candidate is taken
  script(runner, m);
  test::LogMark mark;
  auto state = configure_tun_network(runner, kAlias, "vpn.example.net", kSnapshot, resolver_for(kBothFamilies));
  ASSERT_TRUE(state.has_value()) << state.error();

  Cmds expected = queries();
  const Cmds changes = bring_up_changes("10.203.91.1");
  expected.insert(expected.end(), changes.begin(), changes.end());
  EXPECT_EQ(runner.calls, expected);

  NetworkState want;
  want.ipv4_servers = {"203.0.113.5"};
  want.ipv6_servers = {"2001:db8::5"};
  want.tun_interface_index = "15";
  want.ipv4_gateway = "192.168.1.1";
  want.ipv4_interface_index = "12";
  want.ipv6_gateway = "fe80::1";
  want.ipv6_interface_index = "12";
  want.dns_snapshot = kSnapshot;
  want.ipv4_split_routes_installed = true;
  EXPECT_EQ(*state, want);
  EXPECT_TRUE(mark.messages().empty());
}

TEST(ConfigureTunNetwork, WithoutAnIPv6PathIPv6ServersGetNoRoute) {
  test::RecordingRunner runner;
  Machine m;
  m.ipv6_path = fail(kCommandFailed);  // the script exits 1 when there is no path
  script(runner, m);
  auto state = configure_tun_network(runner, kAlias, "vpn.example.net", {}, resolver_for(kBothFamilies));
  ASSERT_TRUE(state.has_value()) << state.error();
  EXPECT_EQ(state->ipv6_gateway, "");
  EXPECT_EQ(state->ipv6_interface_index, "");
  EXPECT_EQ(state->ipv6_servers, std::vector<std::string>{});
  EXPECT_EQ(state->ipv4_servers, std::vector<std::string>{"203.0.113.5"});
  for (const auto& c : runner.calls) {
    for (const auto& arg : c.args) EXPECT_EQ(arg.find("2001:db8::5"), std::string::npos);
  }
  // The TUN's own IPv6 address and the IPv6 split routes are still set up.
  EXPECT_EQ(runner.calls.back(),
            netsh({"interface", "ipv6", "add", "route", "8000::/1", kAlias, "::", "metric=1", "store=active"}));
}

TEST(ConfigureTunNetwork, FailuresBeforeTheFirstChangeChangeNothing) {
  struct Row {
    const char* name;
    Machine machine;
    std::vector<platform::ResolvedAddress> resolved;
    std::string code;
  };
  std::vector<Row> rows;
  auto add = [&](const char* name, auto tweak, std::string code, std::vector<platform::ResolvedAddress> resolved = kBothFamilies) {
    Machine m;
    tweak(m);
    rows.push_back({name, m, resolved, code});
  };
  add("no_ipv4_default_route", [](Machine& m) { m.ipv4_path = fail(kCommandFailed); }, "command_failed");
  add("ipv4_path_query_timeout", [](Machine& m) { m.ipv4_path = fail(kCommandTimeout); }, "command_timeout");
  add("ipv4_path_garbage", [](Machine& m) { m.ipv4_path = std::string("\xef\xbf\xbd\xef\xbf\xbd\r\n"); },
      "default_route_missing");
  add("server_unresolvable", [](Machine&) {}, "server_resolution_failed", {});
  add("adapter_query_fails", [](Machine& m) { m.adapter_index = fail(kCommandFailed); }, "command_failed");
  add("adapter_index_empty", [](Machine& m) { m.adapter_index = std::string("\r\n"); }, "adapter_index_missing");
  add("inventory_fails", [](Machine& m) { m.inventory = fail(kCommandWaitFailed); }, "command_wait_failed");
  add("all_candidates_blocked",
      [](Machine& m) { m.inventory = std::string("10.0.0.1/8,12,address\r\n172.29.91.0/24,12,route\r\n"); },
      "tun_ipv4_candidate_unavailable");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::RecordingRunner runner;
    script(runner, r.machine);
    auto state = configure_tun_network(runner, kAlias, "vpn.example.net", kSnapshot, resolver_for(r.resolved));
    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error(), r.code);
    for (const auto& c : runner.calls) EXPECT_EQ(c.program, "query") << "a change ran: " << c.args.front();
  }
}

TEST(ConfigureTunNetwork, RollbackAfterAFailureAtEveryChange) {
  // One row per change of the bring-up (by its position in bring_up_changes), with
  // the code it fails with, the result expected, and what the state must have
  // recorded when the rollback ran.
  struct Row {
    const char* name;
    std::size_t failing;
    std::string code;
    std::string result;  // empty: the bring-up succeeds anyway
    std::vector<std::string> v4_recorded;
    std::vector<std::string> v6_recorded;
    bool split_flag;
  };
  const Row rows[] = {
      {"assign_ipv4", 0, "command_failed", "tun_address_assign_failed:command_failed", {}, {}, false},
      {"assign_ipv6", 1, "command_timeout", "tun_address_assign_failed:command_timeout", {}, {}, false},
      {"ipv4_stays_tentative", 2, "command_failed", "tun_address_not_preferred:command_failed", {}, {}, false},
      {"ipv6_not_preferred", 3, "command_wait_failed", "tun_address_not_preferred:command_wait_failed", {}, {}, false},
      {"server_route_delete_ignored", 4, "command_failed", "", {"203.0.113.5"}, {"2001:db8::5"}, true},
      {"server_route_add", 5, "command_failed", "command_failed", {"203.0.113.5"}, {}, false},
      {"ipv6_server_delete_ignored", 6, "command_failed", "", {"203.0.113.5"}, {"2001:db8::5"}, true},
      {"ipv6_server_delete_persistent_ignored", 7, "command_timeout", "", {"203.0.113.5"}, {"2001:db8::5"}, true},
      {"ipv6_server_route_add", 8, "command_timeout", "command_timeout", {"203.0.113.5"}, {"2001:db8::5"}, false},
      {"dns", 9, "command_failed", "command_failed", {"203.0.113.5"}, {"2001:db8::5"}, false},
      {"ipv4_metric", 10, "command_failed", "command_failed", {"203.0.113.5"}, {"2001:db8::5"}, false},
      {"first_ipv4_split_route", 11, "command_failed", "command_failed", {"203.0.113.5"}, {"2001:db8::5"}, true},
      {"second_ipv4_split_route", 12, "command_spawn_failed", "command_spawn_failed", {"203.0.113.5"}, {"2001:db8::5"}, true},
      {"ipv6_metric", 13, "command_failed", "command_failed", {"203.0.113.5"}, {"2001:db8::5"}, true},
      {"first_ipv6_split_route", 14, "command_failed", "command_failed", {"203.0.113.5"}, {"2001:db8::5"}, true},
      {"second_ipv6_split_route", 15, "command_job_assignment_failed", "command_job_assignment_failed", {"203.0.113.5"},
       {"2001:db8::5"}, true},
  };
  const Cmds changes = bring_up_changes("10.88.91.1");
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::RecordingRunner runner;
    script(runner, Machine{});
    std::size_t seen = 0;
    bool failed = false;
    runner.on_run = [&](const NetworkCommand& c) -> Status {
      // Fail the row's command the first time it runs (the bring-up), not again in
      // the rollback.
      if (!failed && seen < changes.size() && c == changes[seen] && seen++ == r.failing) {
        failed = true;
        return fail(r.code);
      }
      return {};
    };
    test::LogMark mark;
    auto state = configure_tun_network(runner, kAlias, "vpn.example.net", kSnapshot, resolver_for(kBothFamilies));

    NetworkState recorded;
    recorded.ipv4_servers = r.v4_recorded;
    recorded.ipv6_servers = r.v6_recorded;
    recorded.tun_interface_index = "15";
    recorded.ipv4_gateway = "192.168.1.1";
    recorded.ipv4_interface_index = "12";
    recorded.ipv6_gateway = "fe80::1";
    recorded.ipv6_interface_index = "12";
    recorded.dns_snapshot = kSnapshot;
    recorded.ipv4_split_routes_installed = r.split_flag;

    Cmds expected = queries();
    if (r.result.empty()) {
      ASSERT_TRUE(state.has_value()) << state.error();
      EXPECT_EQ(*state, recorded);
      expected.insert(expected.end(), changes.begin(), changes.end());
    } else {
      ASSERT_FALSE(state.has_value());
      EXPECT_EQ(state.error(), r.result);
      // Everything up to the failing command, then the teardown of what was recorded
      // with address cleanup, and the DNS restore.
      expected.insert(expected.end(), changes.begin(), changes.begin() + static_cast<std::ptrdiff_t>(r.failing) + 1);
      const Cmds teardown = teardown_commands(recorded, kAlias, true);
      expected.insert(expected.end(), teardown.begin(), teardown.end());
      const Cmds dns = dns_restore_commands(kSnapshot, kAlias);
      expected.insert(expected.end(), dns.begin(), dns.end());
    }
    EXPECT_EQ(runner.calls, expected);
    EXPECT_TRUE(mark.messages().empty());
  }
}

}  // namespace
}  // namespace brenmoor
