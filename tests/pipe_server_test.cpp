// The pipe loop and connection handler end to end: a real pipe (a Unix socket on the
// dev host), real client processes, the identity check against a private ProgramFiles.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "control/pipe_server.h"
#include "platform/pipe_client.h"
#include "control/frame.h"
#include "pipe_test_support.h"
#include "service/log.h"
#include "service/service_body.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

using test::ChildRun;

const std::string kStatus = R"({"version":1,"command":"status","request_id":"r","issued_at_unix_ms":1})";
const std::string kIdle = R"({"success":true,"state":"idle","error":"","degraded":false,"session_token":""})";

std::string error_body(const std::string& code) {
  return R"({"success":false,"state":"error","error":")" + code + R"(","degraded":true,"session_token":""})";
}

std::size_t count_log_lines(const std::string& line) {
  const std::string text = test::read_file(log_file_path());
  std::size_t n = 0;
  for (std::size_t pos = 0; (pos = text.find(" " + line + "\n", pos)) != std::string::npos; ++pos) ++n;
  return n;
}

class PipeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    root_ = test::make_temp_dir("identity");
    program_files_ = test::utf8_path(fs::u8path(root_) / "Program Files");
    client_ = test::install_client_copy(program_files_, "Pellamy/brenmoor-win.exe");
    env_ = std::make_unique<test::ScopedEnv>("ProgramFiles", program_files_);
    pipe_ = test::unique_pipe_path();
    state_ = make_service_state({sessions_, lanes_, system_clock()});
    loop_ = std::thread([this] { run_pipe_loop(state_, pipe_, [this] { ready_.open(); }); });
    ready_.wait();
  }
  // The stop's own wake-up connection has a handler too.
  void TearDown() override {
    stop_loop();
    EXPECT_TRUE(test::connection_handlers_ended());
  }

  void stop_loop() {
    if (!loop_.joinable()) return;
    EXPECT_EQ(handle_service_control(1, state_->gate(), pipe_), 0u);
    loop_.join();
  }

  ChildRun run_client(const std::string& program, std::vector<std::string> args) {
    args.insert(args.begin(), pipe_);
    return test::run_child(program, args);
  }
  ChildRun run_client(std::vector<std::string> args) { return run_client(client_, std::move(args)); }

  test::FakeSessions sessions_{system_clock()};
  test::FakeLanes lanes_;
  std::string root_, program_files_, client_, pipe_;
  std::unique_ptr<test::ScopedEnv> env_;
  std::shared_ptr<SharedState> state_;
  test::Latch ready_;
  std::thread loop_;
};

TEST_F(PipeServerTest, AnswersTheInstalledClient) {
  ChildRun r = run_client({"send", kStatus});
  EXPECT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_EQ(r.out, kIdle + "\n");
}

TEST_F(PipeServerTest, FrameSizeRulesOverThePipe) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"body of exactly 8388608 bytes", {"padded", "8388608"}, kIdle},
      {"length 0", {"prefix", "0"}, error_body("request_size_invalid")},
      {"length 8388609", {"prefix", "8388609"}, error_body("request_size_invalid")},
      {"undecodable body", {"send", "{\"version\":1}"}, error_body("request_decode_failed")},
      {"dispatcher error", {"send", R"({"version":2,"command":"status","request_id":"r","issued_at_unix_ms":1})"},
       error_body("unsupported_version")},
  };
  // The log may be shared with earlier tests of this run (and on Windows earlier runs).
  const std::size_t size_before = count_log_lines("request failed: request_size_invalid");
  const std::size_t decode_before = count_log_lines("request failed: request_decode_failed");
  const std::size_t version_before = count_log_lines("request failed: unsupported_version");
  for (const Row& r : rows) {
    ChildRun run = run_client(r.args);
    EXPECT_EQ(run.exit_code, 0u) << r.name << ": " << run.err;
    EXPECT_EQ(run.out, r.expected + "\n") << r.name;
  }
  // Failures are logged before the response is written, so they are there now.
  EXPECT_EQ(count_log_lines("request failed: request_size_invalid") - size_before, 2u);
  EXPECT_EQ(count_log_lines("request failed: request_decode_failed") - decode_before, 1u);
  EXPECT_EQ(count_log_lines("request failed: unsupported_version") - version_before, 1u);
}

TEST_F(PipeServerTest, BytesAfterTheFrameAreNotReadAndTheConnectionEnds) {
  ChildRun r = run_client({"trailing"});
  EXPECT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_EQ(r.out, kIdle + "\neof\n");
}

TEST_F(PipeServerTest, OnlyTheClientProgramInProgramFilesIsServed) {
  namespace fs = std::filesystem;
  struct Row {
    const char* name;
    std::string root;
    std::string relative;
    bool served;
  };
  const std::string elsewhere = test::utf8_path(fs::u8path(root_) / "Downloads");
  const std::string lookalike = test::utf8_path(fs::u8path(root_) / "Program Files (x86)");
  const std::vector<Row> rows = {
      {"upper-case name in place", program_files_, "Pellamy/BRENMOOR-WIN.EXE", true},
      {"other accepted name", program_files_, "Other/pellamy.exe", true},
      {"same program elsewhere", elsewhere, "brenmoor-win.exe", false},
      {"right place, other name", program_files_, "Pellamy/brenmoor-win2.exe", false},
      {"partial directory name", lookalike, "Pellamy/brenmoor-win.exe", false},
  };
  const std::size_t refused_before = count_log_lines("request failed: client_identity_unverified");
  for (const Row& r : rows) {
    const std::string copy = test::install_client_copy(r.root, r.relative);
    ChildRun run = run_client(copy, {"send", kStatus});
    EXPECT_EQ(run.exit_code, 0u) << r.name << ": " << run.err;
    EXPECT_EQ(run.out, (r.served ? kIdle : error_body("client_identity_unverified")) + "\n") << r.name;
  }
  EXPECT_EQ(count_log_lines("request failed: client_identity_unverified") - refused_before, 3u);
}

TEST_F(PipeServerTest, IdentityNeedsProgramFilesToBeSet) {
  test::ScopedEnv unset("ProgramFiles", std::nullopt);
  ChildRun run = run_client({"send", kStatus});
  EXPECT_EQ(run.out, error_body("client_identity_unverified") + "\n");
}

TEST_F(PipeServerTest, RefusedClientStillGetsItsResponse) {
  // This test program is not the client program: it is answered, with the code.
  auto c = platform::open_pipe_client(pipe_, std::chrono::seconds(10));
  ASSERT_TRUE(c) << c.error();
  (void)write_frame(*c, kStatus);  // may find the service gone already; the answer waits
  auto body = read_frame(*c, 1 << 20);
  ASSERT_TRUE(body) << body.error();
  EXPECT_EQ(*body, error_body("client_identity_unverified"));
}

TEST_F(PipeServerTest, SilentClientDoesNotBlockOthers) {
  platform::SpawnOptions o;
  o.program = client_;
  o.args = {pipe_, "hold"};
  o.stdout_mode = platform::StdioMode::pipe;
  auto holder = platform::spawn_process(o);
  ASSERT_TRUE(holder) << holder.error();
  auto out = holder->take_stdout();
  std::string line;
  char buf[64];
  while (line.find('\n') == std::string::npos) {
    auto n = out.read(buf, sizeof buf);
    ASSERT_TRUE(n && *n > 0) << "holder ended early";
    line.append(buf, *n);
  }
  EXPECT_EQ(line.substr(0, 9), "connected");

  ChildRun r = run_client({"send", kStatus});
  EXPECT_EQ(r.out, kIdle + "\n");
  ASSERT_TRUE(holder->terminate());
  (void)holder->wait();
}

TEST_F(PipeServerTest, ManyClientsAtOnceAreAllAnswered) {
  ChildRun r = run_client({"load", "256"});
  EXPECT_EQ(r.exit_code, 0u) << r.err;
  EXPECT_EQ(r.out, "ok 256\n") << r.err;
  EXPECT_EQ(run_client({"send", kStatus}).out, kIdle + "\n");
}

TEST_F(PipeServerTest, StopWakesTheBlockedLoopAndTheLoopEnds) {
  // The loop sits in its wait for a client; only the wake-up connection ends it.
  stop_loop();
  EXPECT_TRUE(state_->gate().is_stopping());
  auto late = platform::open_pipe_client(pipe_, Duration::zero());
  EXPECT_FALSE(late.has_value());
}

TEST_F(PipeServerTest, LifecycleRequestsRunThroughTheDispatcher) {
  ChildRun started = run_client(
      {"send", R"({"version":1,"command":"start","request_id":"r","issued_at_unix_ms":1,"lease_seconds":60})"});
  EXPECT_EQ(started.out,
            R"({"success":true,"state":"active","error":"","degraded":false,"session_token":"token-1"})" "\n");
  ChildRun stopped = run_client(
      {"send", R"({"version":1,"command":"stop","request_id":"r","issued_at_unix_ms":1,"session_token":"token-1"})"});
  EXPECT_EQ(stopped.out, R"({"success":true,"state":"idle","error":"","degraded":false,"session_token":""})" "\n");
  EXPECT_EQ(sessions_.stopped(), std::vector<std::string>{"token-1"});
}

// The shutdown's last wait before the service reports stopped: a handler that has
// read its request counts until its response is written.
TEST_F(PipeServerTest, AHandlerCountsAsPendingUntilItsResponseIsWritten) {
  EXPECT_TRUE(wait_for_pending_responses(Duration::zero()));
  sessions_.hold_starts();
  ChildRun started;
  std::thread client([&] {
    started = run_client(
        {"send", R"({"version":1,"command":"start","request_id":"r","issued_at_unix_ms":1,"lease_seconds":60})"});
  });
  sessions_.wait_for_starts_entered(1);
  EXPECT_FALSE(wait_for_pending_responses(std::chrono::milliseconds(50)));
  sessions_.release_starts();
  client.join();
  EXPECT_NE(started.out.find(R"("state":"active")"), std::string::npos) << started.out;
  EXPECT_TRUE(wait_for_pending_responses(std::chrono::seconds(10)));
}

// brenmoor-ctl installed as the client program.
class CtlTest : public PipeServerTest {
 protected:
  void SetUp() override {
    PipeServerTest::SetUp();
    namespace fs = std::filesystem;
    ctl_ = test::utf8_path(fs::u8path(program_files_) / "Pellamy" / "brenmoor-win.exe");
    fs::copy_file(fs::u8path(test::bin_path("brenmoor-ctl")), fs::u8path(ctl_), fs::copy_options::overwrite_existing);
    token_file_ = test::utf8_path(fs::u8path(root_) / "state" / "token");
  }
  ChildRun ctl(std::vector<std::string> args, const std::string& program = "") {
    std::vector<std::string> all = {"--pipe", pipe_, "--token-file", token_file_};
    all.insert(all.end(), args.begin(), args.end());
    return test::run_child(program.empty() ? ctl_ : program, all);
  }
  std::string ctl_, token_file_;
};

TEST_F(CtlTest, StatusStartStopWithTheSavedToken) {
  ChildRun status = ctl({"status"});
  EXPECT_EQ(status.exit_code, 0u) << status.err;
  EXPECT_EQ(status.out, "ok: state idle\n");

  const std::string config = test::utf8_path(std::filesystem::u8path(root_) / "config.json");
  { std::FILE* f = std::fopen(config.c_str(), "wb"); std::fputs("{}", f); std::fclose(f); }
  ChildRun start = ctl({"start", "--config", config, "--server", "vpn.example.net", "--lease", "60"});
  EXPECT_EQ(start.exit_code, 0u) << start.err;
  EXPECT_EQ(start.out, "ok: state active\nsession token saved to " + token_file_ + "\n");
  EXPECT_EQ(test::read_file(token_file_), "token-1\n");

  ChildRun wrong = ctl({"--token", "not-it", "stop"});
  EXPECT_EQ(wrong.exit_code, 1u);
  EXPECT_EQ(wrong.err.substr(0, 29), "error: session_token_invalid:");

  ChildRun json = ctl({"--json", "renew", "--lease", "100"});
  EXPECT_EQ(json.exit_code, 0u);
  EXPECT_EQ(json.out, R"({"success":true,"state":"active","error":"","degraded":false,"session_token":""})" "\n");

  ChildRun stop = ctl({"stop"});
  EXPECT_EQ(stop.exit_code, 0u) << stop.err;
  EXPECT_EQ(sessions_.stopped(), std::vector<std::string>{"token-1"});

  ChildRun renew_idle = ctl({"renew"});
  EXPECT_EQ(renew_idle.exit_code, 1u);
  EXPECT_EQ(renew_idle.err, "not done: state idle (degraded)\n");
}

TEST_F(CtlTest, RawSendsTheFileVerbatimAndLanesPrintTheirRecord) {
  const std::string file = test::utf8_path(std::filesystem::u8path(root_) / "req.json");
  { std::FILE* f = std::fopen(file.c_str(), "wb"); std::fputs(R"({"version":7,"command":"status","request_id":"x","issued_at_unix_ms":0})", f); std::fclose(f); }
  ChildRun raw = ctl({"raw", file});
  EXPECT_EQ(raw.exit_code, 1u);
  EXPECT_EQ(raw.out, error_body("unsupported_version") + "\n");

  ctl({"start", "--config", file, "--server", "s"});
  ChildRun carrier = ctl({"carrier", "status"});
  EXPECT_EQ(carrier.exit_code, 0u) << carrier.err;
  EXPECT_EQ(carrier.out.rfind("ok: state active\ncarrier:\n  core_generation: 0\n", 0), 0u) << carrier.out;
  EXPECT_NE(carrier.out.find("\n  active_streams: 0\n"), std::string::npos) << carrier.out;
  EXPECT_EQ(lanes_.carrier_calls.load(), 1);
}

TEST_F(CtlTest, RefusedAndMissingServiceAreExplained) {
  const std::string elsewhere = test::utf8_path(std::filesystem::u8path(root_) / "brenmoor-win.exe");
  std::filesystem::copy_file(std::filesystem::u8path(ctl_), std::filesystem::u8path(elsewhere));
  ChildRun refused = ctl({"status"}, elsewhere);
  EXPECT_EQ(refused.exit_code, 1u);
  EXPECT_EQ(refused.err.substr(0, 45), "error: client_identity_unverified: the servic");

  stop_loop();
  ChildRun missing = ctl({"status"});
  EXPECT_EQ(missing.exit_code, 3u);
  EXPECT_EQ(missing.err, "error: the brenmoor service is not running (no control pipe at " + pipe_ + ")\n");

  ChildRun bad = ctl({"carrier", "launch"});
  EXPECT_EQ(bad.exit_code, 2u);
}

}  // namespace
}  // namespace brenmoor
