// The route choice shared by the dev host's best-route lookup and netsim, and the
// reader of netsim's state file.
#include <gtest/gtest.h>

#include "platform/route_choice.h"

namespace brenmoor::platform {
namespace {

IpAddress ip(std::string_view text) { return *parse_ip_literal(text); }

RouteTableEntry route(std::string_view prefix, int length, std::uint32_t index, std::string_view hop,
                      std::uint32_t metric = 0, bool active = true) {
  return RouteTableEntry{ip(prefix), length, index, ip(hop), metric, active};
}

TEST(RouteChoice, WindowsOrder) {
  const std::vector<RouteTableInterface> ifs = {{12, true, 25, 25}, {7, true, 35, 5}, {15, true, 1, 1}, {9, false, 1, 1}};
  struct Row {
    const char* name;
    std::vector<RouteTableEntry> routes;
    std::string destination;
    std::optional<BestRoute> expected;
  };
  const Row rows[] = {
      {"longest_prefix_beats_metric",
       {route("0.0.0.0", 0, 12, "192.168.1.1"), route("0.0.0.0", 1, 15, "0.0.0.0", 1),
        route("203.0.113.5", 32, 12, "192.168.1.1", 1)},
       "203.0.113.5", BestRoute{12, ip("192.168.1.1")}},
      {"split_route_beats_default", {route("0.0.0.0", 0, 12, "192.168.1.1"), route("0.0.0.0", 1, 15, "0.0.0.0", 1)},
       "5.180.20.10", BestRoute{15, ip("0.0.0.0")}},
      {"route_plus_interface_metric", {route("0.0.0.0", 0, 12, "192.168.1.1", 0), route("0.0.0.0", 0, 7, "10.0.0.1", 0)},
       "8.8.8.8", BestRoute{12, ip("192.168.1.1")}},
      {"equal_sum_lower_index", {route("0.0.0.0", 0, 12, "192.168.1.1", 10), route("0.0.0.0", 0, 7, "10.0.0.1", 0)},
       "8.8.8.8", BestRoute{7, ip("10.0.0.1")}},
      {"disconnected_persistent_and_unknown_ignored",
       {route("203.0.113.5", 32, 9, "10.9.9.9"), route("203.0.113.5", 32, 7, "10.0.0.1", 1, false),
        route("203.0.113.5", 32, 42, "10.4.4.4"), route("0.0.0.0", 0, 12, "192.168.1.1")},
       "203.0.113.5", BestRoute{12, ip("192.168.1.1")}},
      {"host_bits_outside_the_prefix", {route("203.0.113.0", 24, 7, "10.0.0.1"), route("203.0.112.0", 23, 12, "192.168.1.1")},
       "203.0.113.200", BestRoute{7, ip("10.0.0.1")}},
      {"odd_prefix_length", {route("203.0.113.0", 25, 7, "10.0.0.1")}, "203.0.113.200", std::nullopt},
      {"ipv6_uses_the_ipv6_metric", {route("::", 0, 12, "fe80::1"), route("::", 0, 7, "fe80::7")}, "2001:db8::5",
       BestRoute{7, ip("fe80::7")}},
      {"other_family_never", {route("0.0.0.0", 0, 12, "192.168.1.1")}, "2001:db8::5", std::nullopt},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(choose_best_route(RouteTable{ifs, r.routes}, ip(r.destination)), r.expected);
  }
}

TEST(RouteChoice, StateFileReader) {
  auto table = parse_route_table_json(
      R"({"next_interface_index":16,"interfaces":[{"index":12,"alias":"Ethernet","dns":["192.168.1.1"]},)"
      R"({"index":15,"alias":"T","connected":false,"ipv4_metric":1,"ipv6_metric":2,"owner_pid":77}],)"
      R"("addresses":[],"routes":[{"prefix":"0.0.0.0/0","interface":12,"next_hop":"192.168.1.1"},)"
      R"({"prefix":"2001:db8::/32","interface":15,"next_hop":"::","metric":256,"store":"PersistentStore"}],"faults":[]})");
  ASSERT_TRUE(table);
  ASSERT_EQ(table->interfaces.size(), 2u);
  EXPECT_TRUE(table->interfaces[0].connected);
  EXPECT_EQ(table->interfaces[0].ipv4_metric, 25u);  // defaults as netsim documents them
  EXPECT_EQ(table->interfaces[1].owner_pid, 77);
  EXPECT_FALSE(table->interfaces[1].connected);
  ASSERT_EQ(table->routes.size(), 2u);
  EXPECT_EQ(table->routes[1].prefix_length, 32);
  EXPECT_EQ(table->routes[1].metric, 256u);
  EXPECT_FALSE(table->routes[1].active_store);
  EXPECT_TRUE(parse_route_table_json("{}"));

  for (const char* bad : {
           "", "[]", "{\"interfaces\":{}}", R"({"interfaces":[{"alias":"x"}]})", R"({"interfaces":[{"index":0}]})",
           R"({"interfaces":[{"index":1,"connected":1}]})", R"({"interfaces":[{"index":1,"ipv4_metric":-1}]})",
           R"({"routes":[{"prefix":"0.0.0.0","interface":1,"next_hop":"1.1.1.1"}]})",
           R"({"routes":[{"prefix":"0.0.0.0/33","interface":1,"next_hop":"1.1.1.1"}]})",
           R"({"routes":[{"prefix":"::/0","interface":1,"next_hop":"1.1.1.1"}]})",
           R"({"routes":[{"prefix":"0.0.0.0/0","interface":1,"next_hop":"1.1.1.1","store":"Other"}]})",
           R"({"routes":[{"prefix":"0.0.0.0/0","next_hop":"1.1.1.1"}]})", "{\"routes\":[1]}"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(parse_route_table_json(bad));
  }
}

}  // namespace
}  // namespace brenmoor::platform
