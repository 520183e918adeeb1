// The dev host's resolver reads the host root's stand-in for the Windows hosts file
// before asking the system, so tests can give a name any answer.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/paths.h"
#include "platform/resolver.h"

namespace brenmoor {
namespace {

using platform::ResolvedAddress;

TEST(HostsFile, ListsEveryAddressOfTheNameInFileOrder) {
  const std::string text =
      "# comment line vpn.example.net\n"
      "203.0.113.5\tvpn.example.net other\r\n"
      "  1.1.1.1   alias VPN.Example.NET  # the tunnel's DNS server\n"
      "2001:DB8:0::5 vpn.example.net\n"
      "fe80::1%eth0 vpn.example.net\n"
      "not-an-address vpn.example.net\n"
      "127.0.0.1 localhost vpn.example.net.evil\n"
      "203.0.113.5 vpn.example.net\n"
      "#127.0.0.2 vpn.example.net\n"
      "10.0.0.1 x#vpn.example.net\n"
      "127.0.0.1";
  EXPECT_EQ(platform::hosts_file_addresses(text, "vpn.example.net"),
            (std::vector<ResolvedAddress>{{false, "203.0.113.5"}, {false, "1.1.1.1"}, {true, "2001:db8::5"},
                                          {false, "203.0.113.5"}}));
  EXPECT_EQ(platform::hosts_file_addresses(text, "LOCALHOST"), (std::vector<ResolvedAddress>{{false, "127.0.0.1"}}));
  EXPECT_TRUE(platform::hosts_file_addresses(text, "").empty());
  EXPECT_TRUE(platform::hosts_file_addresses(text, "example.net").empty());
}

TEST(HostsFile, TheDevHostResolverReadsItFirst) {
  const std::string dir = platform::host_root() + "/Windows/System32/drivers/etc";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/hosts", std::ios::app) << "198.51.100.9 hosts-file-test.example.net\n"
                                                << "::1 hosts-file-test.example.net\n";
  auto got = platform::resolve_host("Hosts-File-Test.example.net", "443");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, (std::vector<ResolvedAddress>{{false, "198.51.100.9"}, {true, "::1"}}));
  // Names it does not list go to the system resolver as before.
  auto literal = platform::resolve_host("192.0.2.1", "443");
  ASSERT_TRUE(literal.has_value());
  EXPECT_EQ(*literal, (std::vector<ResolvedAddress>{{false, "192.0.2.1"}}));
}

}  // namespace
}  // namespace brenmoor
