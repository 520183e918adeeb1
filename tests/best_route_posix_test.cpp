// The dev host's best-route lookup answers from the network netsim's tools change,
// and agrees with netsim's own best-route verb, which uses the same choice.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "pipe_test_support.h"
#include "platform/best_route.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

struct Outcome {
  int code = -1;
  std::string out;
};

class BestRouteHost : public testing::Test {
 protected:
  void SetUp() override {
    state_ = test::make_temp_dir("best-route") + "/net.json";
    env_ = std::make_unique<test::ScopedEnv>("BRENMOOR_NETSIM", state_);
    ASSERT_EQ(netsim({"init-typical"}).code, 0);
  }
  Outcome netsim(std::vector<std::string> args) {
    platform::SpawnOptions o;
    o.program = test::bin_path("netsim");
    o.args = std::move(args);
    o.stdout_mode = platform::StdioMode::pipe;
    o.env = {{"BRENMOOR_NETSIM", state_}};
    auto p = platform::spawn_process(o);
    if (!p) return {};
    auto out = p->take_stdout();
    platform::PipeReader none;
    auto text = platform::read_to_end(out, none);
    auto code = p->wait();
    return {code ? static_cast<int>(*code) : -1, text ? text->stdout_bytes : ""};
  }
  // The lookup's answer in the verb's format.
  std::string lookup(std::string_view destination) {
    auto r = platform::best_route(*platform::parse_ip_literal(destination));
    return r ? std::to_string(r->interface_index) + "," + platform::format_ip(r->next_hop) + "\n" : "";
  }
  void expect_agree(std::string_view destination, const std::string& expected) {
    SCOPED_TRACE(std::string(destination));
    EXPECT_EQ(lookup(destination), expected);
    const Outcome verb = netsim({"best-route", std::string(destination)});
    EXPECT_EQ(verb.out, expected);
    EXPECT_EQ(verb.code, expected.empty() ? 1 : 0);
  }

  std::string state_;
  std::unique_ptr<test::ScopedEnv> env_;
};

TEST_F(BestRouteHost, FollowsTheSimulatedNetworkAsItChanges) {
  expect_agree("5.180.20.10", "12,192.168.1.1\n");
  expect_agree("192.168.1.40", "12,0.0.0.0\n");  // on-link
  expect_agree("2001:db8::5", "12,fe80::1\n");

  // An engine adapter with split routes takes the server's traffic, until a host route.
  ASSERT_EQ(netsim({"add-engine-adapter", "Brenmoor Device Path", "--owner", std::to_string(::getpid())}).code, 0);
  ASSERT_EQ(netsim({"add-route", "0.0.0.0/1", "--if", "15", "--next-hop", "0.0.0.0", "--metric", "1"}).code, 0);
  expect_agree("5.180.20.10", "15,0.0.0.0\n");
  ASSERT_EQ(netsim({"add-route", "5.180.20.10/32", "--if", "12", "--next-hop", "192.168.1.1", "--metric", "1"}).code, 0);
  expect_agree("5.180.20.10", "12,192.168.1.1\n");

  // The gateway moves to Wi-Fi; the host route still holds the server on Ethernet.
  ASSERT_EQ(netsim({"move-gateway", "--to", "7", "--gateway", "192.168.7.1"}).code, 0);
  expect_agree("5.1.1.1", "15,0.0.0.0\n");
  expect_agree("5.180.20.10", "12,192.168.1.1\n");

  // Ethernet's link goes down: its active routes go with it.
  ASSERT_EQ(netsim({"set-interface", "12", "--disconnected"}).code, 0);
  expect_agree("5.180.20.10", "15,0.0.0.0\n");
  ASSERT_EQ(netsim({"drop-route", "0.0.0.0/1"}).code, 0);
  expect_agree("5.180.20.10", "7,192.168.7.1\n");
  ASSERT_EQ(netsim({"set-interface", "7", "--disconnected"}).code, 0);
  expect_agree("5.180.20.10", "");
}

TEST_F(BestRouteHost, LinkDownDropsActiveRoutesAndLinkUpRestoresPersistentOnes) {
  ASSERT_EQ(netsim({"add-route", "5.180.20.10/32", "--if", "12", "--next-hop", "192.168.1.1", "--store", "persistent"}).code,
            0);
  ASSERT_EQ(netsim({"set-interface", "12", "--disconnected"}).code, 0);
  const std::string down = netsim({"dump"}).out;
  EXPECT_EQ(down.find("route 12 0.0.0.0/0"), std::string::npos) << down;
  EXPECT_NE(down.find("route 12 5.180.20.10/32 via 192.168.1.1 metric=0 store=PersistentStore"), std::string::npos);
  ASSERT_EQ(netsim({"set-interface", "12", "--connected"}).code, 0);
  const std::string up = netsim({"dump"}).out;
  EXPECT_NE(up.find("route 12 5.180.20.10/32 via 192.168.1.1 metric=0 store=ActiveStore"), std::string::npos) << up;
  EXPECT_NE(up.find("route 12 5.180.20.10/32 via 192.168.1.1 metric=0 store=PersistentStore"), std::string::npos);
  expect_agree("5.180.20.10", "12,192.168.1.1\n");
  EXPECT_EQ(netsim({"best-route", "not-an-address"}).code, 2);
}

TEST_F(BestRouteHost, NoStateFileOrADeadOwnerMeansNoTunnelRoute) {
  {
    test::ScopedEnv unset("BRENMOOR_NETSIM", std::nullopt);
    EXPECT_EQ(lookup("5.180.20.10"), "");
  }
  // An adapter whose engine has ended is gone, although netsim has not pruned it yet.
  std::ofstream(state_, std::ios::trunc)
      << R"({"interfaces":[{"index":12,"alias":"Ethernet"},)"
         R"({"index":15,"alias":"Brenmoor Device Path","ipv4_metric":1,"owner_pid":999999999}],)"
         R"("routes":[{"prefix":"0.0.0.0/0","interface":12,"next_hop":"192.168.1.1"},)"
         R"({"prefix":"0.0.0.0/1","interface":15,"next_hop":"0.0.0.0","metric":1}]})";
  EXPECT_EQ(lookup("5.180.20.10"), "12,192.168.1.1\n");
  std::ofstream(state_, std::ios::trunc) << "{\"interfaces\":[";
  EXPECT_EQ(lookup("5.180.20.10"), "");
}

}  // namespace
}  // namespace brenmoor
