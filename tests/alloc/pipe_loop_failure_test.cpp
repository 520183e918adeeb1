// An allocation that fails anywhere in the pipe loop while it takes a connection
// (the next instance's descriptor, the handler's job, the handler thread's start)
// must not end the loop or the process: the client in hand is let go, the loop
// carries on and serves the next client.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "alloc/alloc_hook.h"
#include "control/frame.h"
#include "control/pipe_server.h"
#include "pipe_test_support.h"
#include "platform/pipe_client.h"
#include "service/log.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

const std::string kStatus = R"({"version":1,"command":"status","request_id":"r","issued_at_unix_ms":1})";

// Pauses return at once: the sweep runs many failing steps.
class InstantClock final : public Clock {
 public:
  MonoTime now() override { return MonoClock::now(); }
  void sleep_for(Duration) override {}
};

std::size_t count_in(const std::string& text, const std::string& line) {
  std::size_t n = 0;
  for (std::size_t pos = 0; (pos = text.find(" " + line + "\n", pos)) != std::string::npos; ++pos) ++n;
  return n;
}

// One exchange: true when a response frame came back.
bool exchange(const std::string& pipe) {
  auto c = platform::open_pipe_client(pipe, 10s);
  if (!c) return false;
  (void)write_frame(*c, kStatus);
  return read_frame(*c, 1 << 20).has_value();
}

TEST(PipeLoopAllocationFailure, TheLoopSurvivesAFailureAtEveryStepOfAConnection) {
  bool met_start_failure = false;
  // One run per allocation the loop makes for a connection, the n-th failing,
  // until a run meets none.
  for (long n = 0;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    InstantClock clock;
    test::FakeSessions sessions{clock};
    test::FakeLanes lanes;
    LifecycleGate gate;
    auto state = std::make_shared<SharedState>(gate, sessions, lanes, clock);
    const std::string pipe = test::unique_pipe_path();
    const std::size_t log_from = test::read_file(log_file_path()).size();

    std::mutex mu;
    std::condition_variable cv;
    int ready_calls = 0;
    bool injected = false;
    std::thread loop([&] {
      run_pipe_loop(state, pipe, [&] {
        // On the loop thread, where the failure is armed. The first call is made
        // before the connection under test, the second after it.
        std::lock_guard lock(mu);
        ++ready_calls;
        if (ready_calls == 1) {
          test::fail_allocation_after(n);
        } else if (ready_calls == 2) {
          injected = test::allocation_failure_thrown();
          test::fail_allocation_after(-1);
        }
        cv.notify_all();
      });
    });
    {
      std::unique_lock lock(mu);
      ASSERT_TRUE(cv.wait_for(lock, 20s, [&] { return ready_calls >= 1; }));
    }
    (void)exchange(pipe);  // answered, or let go without an answer
    {
      std::unique_lock lock(mu);
      ASSERT_TRUE(cv.wait_for(lock, 20s, [&] { return ready_calls >= 2; })) << "the loop did not carry on";
    }
    EXPECT_TRUE(exchange(pipe)) << "the next client was not served";

    gate.set_stopping();
    wake_pipe_loop(pipe);
    loop.join();
    // Handlers end on their own; the next run must not meet them.
    (void)test::connection_handlers_ended();

    const std::size_t start_failures =
        count_in(test::read_file(log_file_path()).substr(log_from), "connection handler start failed");
    EXPECT_LE(start_failures, 1u);
    if (start_failures == 1) met_start_failure = true;
    if (!injected) break;
    ASSERT_LT(n, 10000) << "the connection never ran out of allocations";
  }
  EXPECT_TRUE(met_start_failure) << "no run failed the handler's start";
}

}  // namespace
}  // namespace brenmoor
