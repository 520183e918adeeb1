// An allocation that fails anywhere in a start, after the engine session exists,
// must not leave that session configured but unowned: every session the backend
// started ends up in the slot or handed to stop_engine_session.
#include <gtest/gtest.h>

#include <atomic>
#include <new>

#include "alloc/alloc_hook.h"
#include "control/dispatcher.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

// Counts without allocating, so that only the dispatcher's own allocations fail.
class CountingSessions final : public SessionBackend {
 public:
  Status validate_start_request(const ServiceRequest&) override { return {}; }
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest&) override {
    auto s = std::make_unique<EngineSession>();
    s->session_token.assign(36, 't');
    ++started;
    return s;
  }
  void stop_engine_session(std::unique_ptr<EngineSession>) override { ++stopped; }
  bool engine_exited(EngineSession&) override { return false; }
  std::atomic<int> started{0};
  std::atomic<int> stopped{0};
};

TEST(LifecycleAllocationFailure, EveryStartedSessionIsStoredOrTornDown) {
  // One run per allocation of the start, the n-th failing, until a run meets none.
  for (long n = 0;; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    test::ManualClock clock;
    LifecycleGate gate;
    CountingSessions sessions;
    test::FakeLanes lanes;
    SharedState state(gate, sessions, lanes, clock);
    ServiceRequest request;
    request.version = 1;
    request.command = Command::start;

    bool threw = false;
    test::fail_allocation_after(n);
    try {
      auto response = dispatch_request(state, request);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    const bool injected = test::allocation_failure_thrown();
    test::fail_allocation_after(-1);

    const int stored = state.slot() ? 1 : 0;
    EXPECT_EQ(sessions.started.load(), sessions.stopped.load() + stored);
    EXPECT_FALSE(threw && stored);
    EXPECT_FALSE(gate.is_busy());
    if (!injected) {
      EXPECT_EQ(stored, 1);  // the run without a failure succeeded
      break;
    }
    ASSERT_LT(n, 10000) << "the start never ran out of allocations";
  }
}

}  // namespace
}  // namespace brenmoor
