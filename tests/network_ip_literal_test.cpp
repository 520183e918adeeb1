#include <gtest/gtest.h>

#include <string>

#include "platform/ip.h"

namespace brenmoor {
namespace {

struct LiteralRow {
  const char* name;
  std::string text;
  bool v4;
  bool v6;
};

TEST(IpLiteral, RecognisesOnlyBareAddresses) {
  const LiteralRow rows[] = {
      {"ipv4", "203.0.113.5", true, false},
      {"ipv4_zero", "0.0.0.0", true, false},
      {"ipv4_broadcast", "255.255.255.255", true, false},
      {"ipv6_loopback", "::1", false, true},
      {"ipv6_tun", "fd00:ae91::1", false, true},
      {"ipv6_full", "2001:0db8:0000:0000:0000:0000:0000:0001", false, true},
      {"ipv6_upper", "2001:DB8::1", false, true},
      {"ipv6_mapped", "::ffff:192.0.2.1", false, true},
      {"ipv6_unspecified", "::", false, true},
      {"empty", "", false, false},
      {"host_name", "vpn.example.com", false, false},
      {"ipv4_three_parts", "192.168.1", false, false},
      {"ipv4_octet_too_big", "256.1.1.1", false, false},
      {"ipv4_with_port", "203.0.113.5:443", false, false},
      {"ipv4_with_prefix", "10.0.0.0/8", false, false},
      {"ipv4_leading_space", " 203.0.113.5", false, false},
      {"ipv4_trailing_newline", "203.0.113.5\n", false, false},
      {"ipv4_embedded_nul", std::string("203.0.113.5\0x", 13), false, false},
      {"ipv4_trailing_nul", std::string("1.2.3.4\0", 8), false, false},
      {"ipv6_brackets", "[::1]", false, false},
      {"ipv6_bracket_port", "[::1]:443", false, false},
      {"ipv6_zone", "fe80::1%12", false, false},
      {"ipv6_two_gaps", "1::2::3", false, false},
      {"ipv6_too_many_groups", "1:2:3:4:5:6:7:8:9", false, false},
      {"ipv6_group_too_long", "12345::1", false, false},
      {"non_ascii", "1.2.3.\xd9\xa1", false, false},
      {"very_long", std::string(200, '1'), false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(platform::is_ipv4_literal(r.text), r.v4);
    EXPECT_EQ(platform::is_ipv6_literal(r.text), r.v6);
    EXPECT_EQ(platform::is_ip_literal(r.text), r.v4 || r.v6);
  }
}

}  // namespace
}  // namespace brenmoor
