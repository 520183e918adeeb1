// stop_engine_session is best effort step by step: a step that throws costs none
// of the steps after it; an engine that will not die holds it for a bounded time.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "engine/engine_launch.h"
#include "network_fakes.h"
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

class AcceptsAll final : public CommandRunner {
 public:
  Status run(const NetworkCommand&) override { return {}; }
  Result<std::string> run_powershell(std::string_view) override { return std::string(); }
};

// A port nobody listens on: the disconnect is refused at once.
std::uint16_t dead_port() {
  auto listener = platform::TcpListener::bind_loopback(0);
  return listener ? listener->port() : 1;
}

// The engine's termination is withheld (the process seam), as the system withholds
// the end of a process stuck in a wait it cannot cancel: the stop waits no longer
// than the limit, logs it once, and the job is closed all the same.
TEST(StopEngineSession, AnEngineThatDoesNotEndHoldsTheStopOnlyUpToTheLimit) {
  EXPECT_EQ(EngineLaunchConfig{}.engine_exit_limit, 10s);
  struct Row {
    const char* name;
    bool withhold_end;
    std::vector<std::string> log;
  };
  const Row rows[] = {
      {"ends_when_terminated", false, {}},
      {"end_withheld", true, {"engine did not exit"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    platform::SpawnOptions o;
    o.program = test::bin_path("th_net_hang");
    auto launched = platform::spawn_in_kill_on_close_job(o);
    ASSERT_TRUE(launched.has_value()) << launched.error();
    const std::uint64_t pid = launched->process.id();
    if (r.withhold_end) launched->process.replace_terminate_for_test([] { return Status{}; });
    auto session = std::make_unique<EngineSession>();
    session->job = std::move(launched->job);
    session->engine_process = std::move(launched->process);
    session->control_port = dead_port();
    session->control_token = "0f8e2c7a-1b2c-4d3e-8f9a-0123456789ab";
    AcceptsAll runner;
    EngineLaunchConfig config;
    config.runner = &runner;
    config.engine_exit_limit = 300ms;

    test::LogMark mark;
    const auto began = std::chrono::steady_clock::now();
    stop_engine_session(std::move(session), config);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 8s);
    auto lines = mark.messages();
    std::erase_if(lines, [](const std::string& l) { return l != "engine did not exit"; });
    EXPECT_EQ(lines, r.log);
    EXPECT_TRUE(test::wait_process_gone(pid, 10s));  // the job took it
  }
}

#ifndef _WIN32
// The whole launch: an engine that starts a child at its first instruction and then
// fails its start; the child ends with the session that never came up.
TEST(StartEngineSession, AChildTheEngineStartsAtOnceEndsWithTheSession) {
  namespace fs = std::filesystem;
  const fs::path svc = test::make_temp_dir("engine-child");
  const fs::path fixtures = fs::path(test::source_dir()) / "tests/fixtures/service_dir";
  fs::create_directories(svc / "geodata");
  fs::copy_file(test::bin_path("th_engine_with_child"), svc / "engine.exe");
  for (const char* f : {"wintun.dll", "geodata/geoip.dat", "geodata/geosite.dat"}) fs::copy_file(fixtures / f, svc / f);
  const std::string pid_file = (svc / "child.pid").string();
  ASSERT_EQ(::setenv("BRENMOOR_TEST_CHILD_PIDFILE", pid_file.c_str(), 1), 0);
  AcceptsAll runner;
  EngineLaunchConfig config;
  config.runner = &runner;
  config.executable_path = (svc / "brenmoor-service").string();
  ServiceRequest request;
  request.server_address = "5.180.20.10";

  auto started = start_engine_session(request, config);
  ::unsetenv("BRENMOOR_TEST_CHILD_PIDFILE");
  ASSERT_FALSE(started.has_value());
  EXPECT_EQ(started.error(), "engine_ready_timeout");
  const std::uint64_t child = test::read_pid_file(pid_file, 10s);
  ASSERT_NE(child, 0u);
  EXPECT_EQ(test::read_file(pid_file + ".entry"), "in_job");
  EXPECT_TRUE(test::wait_process_gone(child, 10s));
}
#endif

}  // namespace
}  // namespace brenmoor
