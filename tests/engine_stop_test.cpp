// stop_engine_session is best effort step by step: a step that throws costs none
// of the steps after it.
#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/engine_launch.h"
#include "platform/job.h"
#include "platform/tcp.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

// A connection the code under test made is queued before its connect returned; a
// listener asked this briefly finds it, and one that finds none was sent nothing.
// (A zero limit would not even look.)
constexpr Duration kAlreadyQueued = 1ms;

class ThrowsOnce final : public CommandRunner {
 public:
  Status run(const NetworkCommand&) override {
    if (runs++ == 0) throw std::runtime_error("injected");
    return {};
  }
  Result<std::string> run_powershell(std::string_view) override { return std::string(); }
  int runs = 0;
};

// A session whose engine process is a real child in its job.
std::unique_ptr<EngineSession> session_with_engine(const std::string& helper) {
  auto session = std::make_unique<EngineSession>();
  platform::SpawnOptions o;
  o.program = test::bin_path(helper);
  auto p = platform::spawn_process(o);
  EXPECT_TRUE(p);
  if (!p) return session;
  session->engine_process = std::move(*p);
  auto job = platform::assign_kill_on_close_job(session->engine_process);
  EXPECT_TRUE(job);
  if (job) session->job = std::move(*job);
  return session;
}

TEST(StopEngineSession, AThrowingTeardownStepCostsNoLaterStep) {
  auto engine = platform::TcpListener::bind_loopback(0);
  ASSERT_TRUE(engine);
  auto session = session_with_engine("th_net_hang");
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

// An engine that has ended no longer holds its port: whoever bound it since gets
// no disconnect, and with it no control token.
TEST(StopEngineSession, AnEndedEngineIsSentNoDisconnect) {
  auto squatter = platform::TcpListener::bind_loopback(0);
  ASSERT_TRUE(squatter);
  auto session = session_with_engine("th_net_exit");
  ASSERT_TRUE(session->engine_process.wait());
  session->control_port = squatter->port();
  session->control_token = "0f8e2c7a-1b2c-4d3e-8f9a-0123456789ab";
  ThrowsOnce runner;
  runner.runs = 1;  // no throwing here
  EngineLaunchConfig config;
  config.runner = &runner;

  stop_engine_session(std::move(session), config);

  // The stop is over: a disconnect would have been connected by now.
  auto conn = squatter->accept(kAlreadyQueued);
  EXPECT_FALSE(conn) << "the ended engine's port was sent a request";
}

}  // namespace
}  // namespace brenmoor
