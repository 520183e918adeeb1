// stop_engine_session is best effort step by step: a step that throws costs none
// of the steps after it.
#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/engine_launch.h"
#include "platform/tcp.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

class ThrowsOnce final : public CommandRunner {
 public:
  Status run(const NetworkCommand&) override {
    if (runs++ == 0) throw std::runtime_error("injected");
    return {};
  }
  Result<std::string> run_powershell(std::string_view) override { return std::string(); }
  int runs = 0;
};

TEST(StopEngineSession, AThrowingTeardownStepCostsNoLaterStep) {
  auto engine = platform::TcpListener::bind_loopback(0);
  ASSERT_TRUE(engine);
  auto session = std::make_unique<EngineSession>();
  session->control_port = engine->port();
  session->control_token = "0f8e2c7a-1b2c-4d3e-8f9a-0123456789ab";
  session->network_state.tun_interface_index = "7";
  session->network_state.ipv4_split_routes_installed = true;
  ThrowsOnce runner;
  EngineLaunchConfig config;
  config.runner = &runner;

  EXPECT_NO_THROW(stop_engine_session(std::move(session), config));

  EXPECT_GT(runner.runs, 1);  // the second teardown pass ran
  auto conn = engine->accept(10s);  // the disconnect was sent
  ASSERT_TRUE(conn) << conn.error();
  ASSERT_TRUE(conn->set_receive_timeout(10s));
  char buf[64];
  auto n = conn->receive(buf, sizeof buf);
  ASSERT_TRUE(n);
  EXPECT_TRUE(std::string_view(buf, *n).starts_with("POST /disconnect ")) << std::string_view(buf, *n);
}

}  // namespace
}  // namespace brenmoor
