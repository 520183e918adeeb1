// The service body with a recording stand-in for the service manager: the status
// sequence, the control handler, the shutdown waits and the cleanup worker.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "control/pipe_server.h"
#include "pipe_test_support.h"
#include "platform/pipe_client.h"
#include "service/log.h"
#include "service/process_entry.h"
#include "service/service_body.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

using platform::ServiceStatusRecord;

class RecordingLink final : public platform::ServiceManagerLink {
 public:
  Status register_control_handler(platform::ServiceControlHandler handler) override {
    std::lock_guard<std::mutex> l(mu_);
    if (!register_error.empty()) return fail(register_error);
    handler_ = std::move(handler);
    return {};
  }
  Status report_status(const ServiceStatusRecord& s) override {
    std::lock_guard<std::mutex> l(mu_);
    statuses_.push_back(s);
    cv_.notify_all();
    if (s.current_state == platform::kServiceRunning && !running_error.empty()) return fail(running_error);
    if (s.current_state == platform::kServiceStopPending && s.checkpoint == 1 && !pending_error.empty())
      return fail(pending_error);
    if (s.current_state == platform::kServiceStopPending && s.checkpoint > 1 && !progress_error.empty())
      return fail(progress_error);
    return {};
  }
  std::uint32_t control(std::uint32_t code) {
    platform::ServiceControlHandler h;
    {
      std::lock_guard<std::mutex> l(mu_);
      h = handler_;
    }
    return h(code);
  }
  void wait_for_checkpoint(std::uint32_t n) {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return !statuses_.empty() && statuses_.back().checkpoint >= n; });
  }
  std::vector<ServiceStatusRecord> statuses() {
    std::lock_guard<std::mutex> l(mu_);
    return statuses_;
  }

  std::string register_error, running_error, pending_error, progress_error;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  platform::ServiceControlHandler handler_;
  std::vector<ServiceStatusRecord> statuses_;
};

const ServiceStatusRecord kRunning{4, 5, 0, 0};
const ServiceStatusRecord kPending{3, 0, 1, 90000};
const ServiceStatusRecord kStopped{1, 0, 0, 0};

std::vector<std::string> log_lines_since(std::size_t offset) {
  const std::string text = test::read_file(log_file_path());
  std::vector<std::string> lines;
  std::size_t pos = std::min(offset, text.size());
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    const std::string line = text.substr(pos, end - pos);
    lines.push_back(line.substr(line.find(' ') + 1));  // without the timestamp
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return lines;
}

std::size_t count(const std::vector<std::string>& lines, const std::string& line) {
  return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
}

class ServiceBodyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    const std::string root = test::make_temp_dir("service");
    program_files_ = test::utf8_path(fs::u8path(root) / "Program Files");
    client_ = test::install_client_copy(program_files_, "Pellamy/brenmoor-win.exe");
    env_ = std::make_unique<test::ScopedEnv>("ProgramFiles", program_files_);
    options_.pipe_path = test::unique_pipe_path();
    options_.on_pipe_ready = [this] { ready_.open(); };
    log_offset_ = test::read_file(log_file_path()).size();
  }

  std::future<Status> start_service() {
    return std::async(std::launch::async, [this] { return run_service(link_, {sessions_, lanes_, system_clock()}, options_); });
  }

  test::FakeSessions sessions_{system_clock()};
  test::FakeLanes lanes_;
  RecordingLink link_;
  ServiceOptions options_;
  test::Latch ready_;
  std::string program_files_, client_;
  std::unique_ptr<test::ScopedEnv> env_;
  std::size_t log_offset_ = 0;
};

TEST_F(ServiceBodyTest, StopWithoutSessionReportsRunningStopPendingStopped) {
  auto service = start_service();
  ready_.wait();
  // Interrogate and anything unknown: 120, nothing changes.
  EXPECT_EQ(link_.control(4), 120u);
  EXPECT_EQ(link_.control(2), 120u);
  EXPECT_EQ(test::run_child(client_, {options_.pipe_path, "send",
                                      R"({"version":1,"command":"status","request_id":"r","issued_at_unix_ms":1})"})
                .out.find("\"success\":true"),
            1u);

  EXPECT_EQ(link_.control(1), 0u);
  ASSERT_TRUE(service.get());
  EXPECT_EQ(link_.statuses(), (std::vector<ServiceStatusRecord>{kRunning, kPending, kStopped}));
  EXPECT_TRUE(sessions_.stopped().empty());

  const auto lines = log_lines_since(log_offset_);
  const std::vector<std::string> expected = {"run_service start", "status running", "pipe loop exited"};
  std::vector<std::string> lifecycle;
  for (const auto& l : lines)
    if (std::find(expected.begin(), expected.end(), l) != expected.end()) lifecycle.push_back(l);
  EXPECT_EQ(lifecycle, expected);
}

TEST_F(ServiceBodyTest, ShutdownControlStopsLikeStop) {
  auto service = start_service();
  ready_.wait();
  EXPECT_EQ(link_.control(5), 0u);
  ASSERT_TRUE(service.get());
  EXPECT_EQ(link_.statuses().back(), kStopped);
}

// The shipped service runs the real guard: a body left without it would serve
// sessions whose bypass routes nobody repairs.
TEST_F(ServiceBodyTest, ShippedServiceRunsTheBypassGuardOnTheServiceState) {
  const auto shipped = shipped_process_dependencies();
  ASSERT_TRUE(shipped.bypass_guard);
  // Shared with the detached guard thread, which may outlive this test's frame.
  struct Probe {
    test::Latch started;
    std::promise<void> ended;
    std::shared_ptr<SharedState> seen;
  };
  auto probe = std::make_shared<Probe>();
  auto ended = probe->ended.get_future();
  options_.bypass_guard = [probe, guard = shipped.bypass_guard](std::shared_ptr<SharedState> state) {
    probe->seen = state;
    probe->started.open();
    guard(std::move(state));
    probe->ended.set_value();
  };
  auto service = start_service();
  ready_.wait();
  probe->started.wait();
  EXPECT_EQ(link_.control(1), 0u);
  ASSERT_TRUE(service.get());
  // The real guard body ends within one 2-second cycle of stopping being set.
  EXPECT_EQ(ended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(probe->seen->gate().is_stopping());
}

TEST_F(ServiceBodyTest, StopDuringAStartWaitsWithGrowingCheckpoints) {
  options_.shutdown_step = std::chrono::milliseconds(20);
  sessions_.hold_starts();
  auto service = start_service();
  ready_.wait();
  auto client = std::async(std::launch::async, [this] {
    return test::run_child(client_, {options_.pipe_path, "send",
                                     R"({"version":1,"command":"start","request_id":"r","issued_at_unix_ms":1})"});
  });
  sessions_.wait_for_starts_entered(1);

  EXPECT_EQ(link_.control(1), 0u);
  link_.wait_for_checkpoint(3);
  sessions_.release_starts();
  ASSERT_TRUE(service.get());

  // The start saw stopping when it came back and tore its new session down.
  EXPECT_EQ(client.get().out, R"({"success":false,"state":"error","error":"service_stopping","degraded":true,"session_token":""})" "\n");
  EXPECT_EQ(sessions_.stopped(), std::vector<std::string>{"token-1"});

  const auto statuses = link_.statuses();
  ASSERT_GE(statuses.size(), 5u);
  EXPECT_EQ(statuses[0], kRunning);
  EXPECT_EQ(statuses[1], kPending);
  for (std::size_t i = 2; i + 1 < statuses.size(); ++i)
    EXPECT_EQ(statuses[i], (ServiceStatusRecord{3, 0, static_cast<std::uint32_t>(i), 30000})) << i;
  EXPECT_EQ(statuses.back(), kStopped);
  EXPECT_GE(count(log_lines_since(log_offset_), "shutdown waiting for lifecycle cleanup"), 2u);
}

// Recovery of a killed predecessor's network holds the lifecycle guard: starts are
// refused as during any lifecycle operation, and a Stop waits for it to finish.
TEST_F(ServiceBodyTest, RecoveryRefusesStartsAndAStopWaitsForIt) {
  options_.shutdown_step = std::chrono::milliseconds(20);
  test::Latch recovering, release;
  options_.recover_network = [&] {
    recovering.open();
    release.wait();
  };
  auto service = start_service();
  ready_.wait();
  recovering.wait();
  auto send = [this](const char* command) {
    return test::run_child(client_, {options_.pipe_path, "send",
                                     std::string(R"({"version":1,"command":")") + command +
                                         R"(","request_id":"r","issued_at_unix_ms":1})"})
        .out;
  };
  EXPECT_NE(send("status").find(R"("state":"starting")"), std::string::npos);
  EXPECT_NE(send("start").find(R"("error":"service_busy")"), std::string::npos);

  EXPECT_EQ(link_.control(1), 0u);
  link_.wait_for_checkpoint(3);
  release.open();
  ASSERT_TRUE(service.get());
  EXPECT_EQ(link_.statuses().back(), kStopped);
  EXPECT_GE(count(log_lines_since(log_offset_), "shutdown waiting for lifecycle cleanup"), 2u);
}

TEST_F(ServiceBodyTest, StartsRunOnceRecoveryHasFinished) {
  test::Latch recovered;
  options_.recover_network = [&] { recovered.open(); };
  auto service = start_service();
  ready_.wait();
  recovered.wait();
  const std::string start = R"({"version":1,"command":"start","request_id":"r","issued_at_unix_ms":1})";
  std::string out;
  // The guard is released just after the recovery returns; bounded retries cover that gap.
  for (int i = 0; i < 200; ++i) {
    out = test::run_child(client_, {options_.pipe_path, "send", start}).out;
    if (out.find("service_busy") == std::string::npos) break;
  }
  EXPECT_NE(out.find(R"("state":"active")"), std::string::npos) << out;
  EXPECT_EQ(link_.control(1), 0u);
  ASSERT_TRUE(service.get());
}

TEST_F(ServiceBodyTest, FailedRegistrationOrRunningReportNeverServes) {
  link_.register_error = "control_handler_registration_failed:1063";
  EXPECT_EQ(start_service().get().error(), "control_handler_registration_failed:1063");
  EXPECT_TRUE(link_.statuses().empty());

  RecordingLink second;
  second.running_error = "status_report_failed:6";
  auto r = run_service(second, {sessions_, lanes_, system_clock()}, options_);
  EXPECT_EQ(r.error(), "status_report_failed:6");
  EXPECT_EQ(second.statuses(), std::vector<ServiceStatusRecord>{kRunning});
  // The service main function still ends in stopped, with the service's own code,
  // so that the dispatcher returns.
  report_failed_stop(second, r.error());
  EXPECT_EQ(second.statuses(), (std::vector<ServiceStatusRecord>{kRunning, {1, 0, 0, 0, 1066, 2}}));
  EXPECT_EQ(platform::open_pipe_client(options_.pipe_path, Duration::zero()).error(), platform::kPipeNotFound);
}

TEST_F(ServiceBodyTest, FailedStopPendingReportsAreLoggedAndIgnored) {
  options_.shutdown_step = std::chrono::milliseconds(20);
  link_.pending_error = "status_report_failed:5";
  link_.progress_error = "status_report_failed:7";
  sessions_.hold_starts();
  auto service = start_service();
  ready_.wait();
  auto client = std::async(std::launch::async, [this] {
    return test::run_child(client_, {options_.pipe_path, "send",
                                     R"({"version":1,"command":"start","request_id":"r","issued_at_unix_ms":1})"});
  });
  sessions_.wait_for_starts_entered(1);
  link_.control(1);
  link_.wait_for_checkpoint(2);
  sessions_.release_starts();
  ASSERT_TRUE(service.get());
  client.get();
  EXPECT_EQ(link_.statuses().back(), kStopped);
  const auto lines = log_lines_since(log_offset_);
  EXPECT_EQ(count(lines, "shutdown pending status failed: status_report_failed:5"), 1u);
  EXPECT_GE(count(lines, "shutdown progress status failed: status_report_failed:7"), 1u);
}

// A backend whose teardown blows up, standing in for a cleanup worker that dies.
class ThrowingSessions final : public SessionBackend {
 public:
  Status validate_start_request(const ServiceRequest&) override { return {}; }
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest&) override { return fail("x"); }
  void stop_engine_session(std::unique_ptr<EngineSession>) override { throw std::runtime_error("teardown died"); }
  bool engine_exited(EngineSession&) override { return false; }
};

// Its starts succeed, so that the shutdown has a session to fail on.
class StartsThenTeardownDies final : public SessionBackend {
 public:
  Status validate_start_request(const ServiceRequest&) override { return {}; }
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest&) override {
    auto s = std::make_unique<test::FakeSession>();
    s->session_token = "doomed";
    s->lease_deadline = system_clock().now() + std::chrono::hours(1);
    return std::unique_ptr<EngineSession>(std::move(s));
  }
  void stop_engine_session(std::unique_ptr<EngineSession>) override { throw std::runtime_error("teardown died"); }
  bool engine_exited(EngineSession&) override { return false; }
};

TEST_F(ServiceBodyTest, FailedCleanupStillEndsInStoppedWithTheServiceCode) {
  StartsThenTeardownDies sessions;
  auto service = std::async(std::launch::async,
                            [&] { return run_service(link_, {sessions, lanes_, system_clock()}, options_); });
  ready_.wait();
  const auto started = test::run_child(
      client_, {options_.pipe_path, "send", R"({"version":1,"command":"start","request_id":"r","issued_at_unix_ms":1})"});
  ASSERT_NE(started.out.find("\"success\":true"), std::string::npos) << started.out;
  EXPECT_EQ(link_.control(1), 0u);
  const Status r = service.get();
  EXPECT_EQ(r.error(), "cleanup_worker_panicked");
  EXPECT_EQ(link_.statuses(), (std::vector<ServiceStatusRecord>{kRunning, kPending}));
  report_failed_stop(link_, r.error());
  EXPECT_EQ(link_.statuses(), (std::vector<ServiceStatusRecord>{kRunning, kPending, {1, 0, 0, 0, 1066, 1}}));
}

TEST(ShutdownSequence, TearsTheSessionDownOnTheCleanupWorker) {
  test::FakeSessions sessions{system_clock()};
  test::FakeLanes lanes;
  auto state = make_service_state({sessions, lanes, system_clock()});
  auto s = std::make_unique<test::FakeSession>();
  s->session_token = "live";
  state->slot() = std::move(s);
  int progress = 0;
  ASSERT_TRUE(run_shutdown_sequence(*state, [&] { ++progress; }, std::chrono::seconds(5)));
  EXPECT_EQ(sessions.stopped(), std::vector<std::string>{"live"});
  EXPECT_EQ(state->slot(), nullptr);
  EXPECT_TRUE(state->gate().is_stopping());
  EXPECT_EQ(progress, 0);
}

TEST(ShutdownSequence, WorkerThatDiesIsCleanupWorkerPanicked) {
  ThrowingSessions sessions;
  test::FakeLanes lanes;
  auto state = make_service_state({sessions, lanes, system_clock()});
  state->slot() = std::make_unique<test::FakeSession>();
  const std::size_t offset = test::read_file(log_file_path()).size();
  auto r = run_shutdown_sequence(*state, {}, std::chrono::seconds(5));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "cleanup_worker_panicked");
  EXPECT_EQ(count(log_lines_since(offset), "shutdown cleanup failed: cleanup_worker_panicked"), 1u);
}

TEST(ShutdownSequence, PoisonedStateIsRecoveredAndStillTornDown) {
  test::FakeSessions sessions{system_clock()};
  test::FakeLanes lanes;
  auto state = make_service_state({sessions, lanes, system_clock()});
  auto s = std::make_unique<test::FakeSession>();
  s->session_token = "kept";
  state->slot() = std::move(s);
  state->mutex().mark_poisoned();
  const std::size_t offset = test::read_file(log_file_path()).size();
  ASSERT_TRUE(run_shutdown_sequence(*state, {}, std::chrono::seconds(5)));
  EXPECT_EQ(count(log_lines_since(offset), "shutdown recovering poisoned shared state"), 2u);
  EXPECT_EQ(sessions.stopped(), std::vector<std::string>{"kept"});
}

}  // namespace
}  // namespace brenmoor
