// The Windows best-route backend: what it makes of the IP Helper results, and one
// live call (under Wine 8 GetBestRoute2 answers ERROR_NOT_SUPPORTED: no route).
#include <gtest/gtest.h>

#include <cstring>

#include "platform/best_route_win.h"

namespace brenmoor::platform {
namespace {

MIB_IPFORWARD_ROW2 row_v4(ULONG index, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  MIB_IPFORWARD_ROW2 row;
  std::memset(&row, 0, sizeof row);
  row.InterfaceIndex = index;
  row.NextHop.si_family = AF_INET;
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::memcpy(&row.NextHop.Ipv4.sin_addr, bytes, 4);
  return row;
}

TEST(BestRouteWin, ConversionOfIpHelperResults) {
  const MIB_IPFORWARD_ROW2 v4 = row_v4(12, 192, 168, 1, 1);
  const auto ok = best_route_from_results(NO_ERROR, 12, NO_ERROR, v4);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->interface_index, 12u);
  EXPECT_EQ(ok->next_hop, *parse_ip_literal("192.168.1.1"));

  EXPECT_FALSE(best_route_from_results(ERROR_INVALID_PARAMETER, 12, NO_ERROR, v4));
  EXPECT_FALSE(best_route_from_results(NO_ERROR, 0, NO_ERROR, v4));
  EXPECT_FALSE(best_route_from_results(NO_ERROR, 12, ERROR_NOT_SUPPORTED, v4));

  MIB_IPFORWARD_ROW2 unspecified = v4;
  unspecified.NextHop.si_family = AF_UNSPEC;
  EXPECT_FALSE(best_route_from_results(NO_ERROR, 12, NO_ERROR, unspecified));

  MIB_IPFORWARD_ROW2 v6;
  std::memset(&v6, 0, sizeof v6);
  v6.InterfaceIndex = 7;
  v6.NextHop.si_family = AF_INET6;
  const auto hop = *parse_ip_literal("fe80::1");
  std::memcpy(&v6.NextHop.Ipv6.sin6_addr, hop.bytes.data(), 16);
  v6.NextHop.Ipv6.sin6_scope_id = 7;  // a link-local next hop carries its zone
  const auto six = best_route_from_results(NO_ERROR, 7, NO_ERROR, v6);
  ASSERT_TRUE(six);
  EXPECT_EQ(*six, (BestRoute{7, hop}));
}

TEST(BestRouteWin, DestinationAsSockaddr) {
  const SOCKADDR_INET v4 = to_sockaddr_inet(*parse_ip_literal("203.0.113.5"));
  EXPECT_EQ(v4.si_family, AF_INET);
  const std::uint8_t want4[4] = {203, 0, 113, 5};
  EXPECT_EQ(std::memcmp(&v4.Ipv4.sin_addr, want4, 4), 0);
  EXPECT_EQ(v4.Ipv4.sin_port, 0);
  const auto six = *parse_ip_literal("2001:db8::5");
  const SOCKADDR_INET v6 = to_sockaddr_inet(six);
  EXPECT_EQ(v6.si_family, AF_INET6);
  EXPECT_EQ(std::memcmp(&v6.Ipv6.sin6_addr, six.bytes.data(), 16), 0);
  EXPECT_EQ(v6.Ipv6.sin6_scope_id, 0u);
}

TEST(BestRouteWin, LiveCallAnswersWithoutCrashing) {
  // On Windows: loopback goes through the loopback interface; under Wine: nullopt.
  const auto loopback = best_route(*parse_ip_literal("127.0.0.1"));
  if (loopback) {
    EXPECT_NE(loopback->interface_index, 0u);
  }
  (void)best_route(*parse_ip_literal("2001:db8::5"));
}

}  // namespace
}  // namespace brenmoor::platform
