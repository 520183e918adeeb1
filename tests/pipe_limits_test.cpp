// The control pipe's bounds against clients that do not play along: deadlines on a
// connection's request and response, and the number of handlers at once. The
// limits are injected shorter than the service's own; one row runs the real ones.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/frame.h"
#include "control/pipe_server.h"
#include "pipe_test_support.h"
#include "platform/pipe_client.h"
#include "platform/pipe_server.h"
#include "service/service_body.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;
using test::ChildRun;

const std::string kIdle = R"({"success":true,"state":"idle","error":"","degraded":false,"session_token":""})";
const std::string kStatus = R"({"version":1,"command":"status","request_id":"r","issued_at_unix_ms":1})";

std::string error_body(const std::string& code) {
  return R"({"success":false,"state":"error","error":")" + code + R"(","degraded":true,"session_token":""})";
}

double seconds_since(MonoTime t) { return std::chrono::duration<double>(MonoClock::now() - t).count(); }

// Waits up to `limit` for `done`; the test fails, rather than hangs, on a bound
// that does not hold.
template <class F>
bool eventually(F done, Duration limit = 20s) {
  const MonoTime until = MonoClock::now() + limit;
  while (!done()) {
    if (MonoClock::now() >= until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// A read the client never feeds and a write it never takes: each call fails with
// its code once its deadline passes, not before.
TEST(PipeInstanceDeadlines, AStalledCallFailsAtItsDeadline) {
  struct Row {
    const char* name;
    bool write;
  };
  constexpr auto kLimit = 400ms;
  for (const Row& row : {Row{"read, nothing sent", false}, Row{"write, nothing read", true}}) {
    SCOPED_TRACE(row.name);
    const std::string path = test::unique_pipe_path();
    platform::PipeServer server(path);
    auto instance = server.create_instance("D:P(A;;GA;;;SY)(A;;GA;;;BA)", platform::InstanceKind::first);
    ASSERT_TRUE(instance) << instance.error();
    auto client = platform::open_pipe_client(path, 5s);
    ASSERT_TRUE(client) << client.error();
    ASSERT_TRUE(instance->wait_for_client());

    const MonoTime start = MonoClock::now();
    instance->set_read_deadline(start + kLimit);
    instance->set_write_deadline(start + kLimit);
    auto call = std::async(std::launch::async, [&]() -> Status {
      if (!row.write) {
        char b[16];
        auto n = instance->read_some(b, sizeof b);
        if (!n) return std::unexpected(n.error());
        return {};
      }
      // Far more than any pipe or socket buffer holds.
      const std::string big(32u << 20, 'x');
      return write_all(*instance, big);
    });
    if (call.wait_for(kLimit + 5s) != std::future_status::ready) {
      ADD_FAILURE() << "the call outlived its deadline";
      client->close();  // unblocks it
    }
    const Status result = call.get();
    const double took = seconds_since(start);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), row.write ? "pipe_write_failed" : "pipe_read_failed");
    EXPECT_GE(took, 0.39);
    EXPECT_LT(took, 5.0);
    instance->flush_disconnect_close();
  }
}

class PipeLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    root_ = test::make_temp_dir("limits");
    program_files_ = test::utf8_path(fs::u8path(root_) / "Program Files");
    client_ = test::install_client_copy(program_files_, "Pellamy/brenmoor-win.exe");
    env_ = std::make_unique<test::ScopedEnv>("ProgramFiles", program_files_);
    pipe_ = test::unique_pipe_path();
  }
  void TearDown() override {
    stop_loop();
    EXPECT_TRUE(test::connection_handlers_ended());
  }

  void start_loop(const PipeLimits& limits) {
    state_ = make_service_state({sessions_, lanes_, system_clock()});
    loop_ = std::thread([this, limits] {
      run_pipe_loop(
          state_, pipe_,
          [this] {
            ++ready_calls_;
            ready_.open();
          },
          limits);
    });
    ready_.wait();
  }
  void stop_loop() {
    if (!loop_.joinable()) return;
    EXPECT_EQ(handle_service_control(1, state_->gate(), pipe_), 0u);
    loop_.join();
  }

  ChildRun run_client(std::vector<std::string> args) {
    args.insert(args.begin(), pipe_);
    return test::run_child(client_, args);
  }

  // A th_pipe_client holding connections; started() waits for its "connected" line.
  struct Holder {
    std::optional<platform::Process> process;
    platform::PipeReader out;
    bool started() {
      std::string line;
      char buf[64];
      while (line.find('\n') == std::string::npos) {
        auto n = out.read(buf, sizeof buf);
        if (!n || *n == 0) return false;
        line.append(buf, *n);
      }
      return line.rfind("connected", 0) == 0;
    }
    ~Holder() {
      if (process) {
        (void)process->terminate();
        (void)process->wait();
      }
    }
  };
  std::unique_ptr<Holder> hold(std::vector<std::string> args) {
    platform::SpawnOptions o;
    o.program = client_;
    args.insert(args.begin(), pipe_);
    o.args = args;
    o.stdout_mode = platform::StdioMode::pipe;
    auto p = platform::spawn_process(o);
    auto h = std::make_unique<Holder>();
    if (!p) {
      ADD_FAILURE() << p.error();
      return h;
    }
    h->out = p->take_stdout();
    h->process.emplace(std::move(*p));
    return h;
  }

  test::FakeSessions sessions_{system_clock()};
  test::FakeLanes lanes_;
  std::string root_, program_files_, client_, pipe_;
  std::unique_ptr<test::ScopedEnv> env_;
  std::shared_ptr<SharedState> state_;
  std::atomic<int> ready_calls_{0};
  test::Latch ready_;
  std::thread loop_;
};

// Clients that keep their request from arriving in time are answered with the
// failed read's code, and their handler ends.
TEST_F(PipeLimitsTest, ARequestThatDoesNotArriveInTimeIsCutOff) {
  start_loop({.request_read = 500ms, .response_write = 500ms});
  struct Row {
    const char* name;
    std::vector<std::string> args;
    bool reads_in_time;  // the client reads while the response's own limit runs
  };
  const std::vector<Row> rows = {
      {"8 MiB announced, nothing sent", {"prefix", "8388608"}, true},
      // Still writing when it is cut off, it reads only later. A socket keeps the
      // answer for it; a named pipe's disconnect drops what was not taken in time.
      {"one byte every 100 ms", {"trickle", "100"}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const MonoTime start = MonoClock::now();
    ChildRun r = run_client(row.args);
#ifdef _WIN32
    const bool answered = row.reads_in_time;
#else
    const bool answered = true;
#endif
    if (answered) {
      EXPECT_EQ(r.out, error_body("pipe_read_failed") + "\n") << r.err;
    } else {
      EXPECT_EQ(r.exit_code, 4u) << "the service answered a request it should have cut off: " << r.out;
    }
    EXPECT_LT(seconds_since(start), 5.0);
  }
  EXPECT_TRUE(test::connection_handlers_ended());
  EXPECT_EQ(run_client({"send", kStatus}).out, kIdle + "\n");
}

// With every handler busy the next client waits in the system's queue, and is
// served as soon as one ends (here: when the held connections reach their deadline).
TEST_F(PipeLimitsTest, ClientsBeyondTheBoundWaitForAHandlerToEnd) {
  constexpr auto kRead = 2s;
  start_loop({.request_read = kRead, .response_write = 2s, .max_handlers = 3});
  auto holder = hold({"many", "hold", "3"});
  ASSERT_TRUE(holder->started());
  const MonoTime held_at = MonoClock::now();
  // Three connections taken, the third on the last instance the bound allows.
  ASSERT_TRUE(eventually([&] { return running_connection_handlers() == 3; }));
  EXPECT_EQ(ready_calls_.load(), 3);

  ChildRun late = run_client({"send", kStatus});
  EXPECT_EQ(late.out, kIdle + "\n") << late.err;
  // Not before the held connections were cut off, and soon after.
  EXPECT_GE(seconds_since(held_at), 1.5);
  EXPECT_LT(seconds_since(held_at), 8.0);
  EXPECT_TRUE(test::connection_handlers_ended());
}

// The control handler's wake-up reaches a loop that waits for a handler to end.
TEST_F(PipeLimitsTest, StopReachesALoopAtTheBound) {
  start_loop({.max_handlers = 2});
  auto holder = hold({"many", "hold", "2"});
  ASSERT_TRUE(holder->started());
  ASSERT_TRUE(eventually([&] { return running_connection_handlers() == 2; }));
  const MonoTime start = MonoClock::now();
  stop_loop();
  EXPECT_LT(seconds_since(start), 2.0);
}

// The service's own limit, in real time: a connection that announced a request and
// sent nothing more is cut off 10 s after it connected, not earlier.
TEST_F(PipeLimitsTest, RealTimeRequestDeadlineIsTenSeconds) {
  start_loop({});
  const MonoTime start = MonoClock::now();
  ChildRun r = run_client({"prefix", "8388608"});
  const double took = seconds_since(start);
  EXPECT_EQ(r.out, error_body("pipe_read_failed") + "\n") << r.err;
  EXPECT_GE(took, 9.9);
  EXPECT_LT(took, 13.0);
}

}  // namespace
}  // namespace brenmoor
