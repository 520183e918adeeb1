#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "control/dispatcher.h"
#include "network_fakes.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

using test::FakeLanes;
using test::FakeSession;
using test::FakeSessions;
using test::ManualClock;

void poison(PoisonMutex& m) {
  try {
    PoisonLock lock(m);
    throw 1;
  } catch (int) {
  }
}

class Dispatcher : public testing::Test {
 protected:
  ServiceRequest req(Command c, std::string token = "", std::uint32_t lease = 0) {
    ServiceRequest r;
    r.version = 1;
    r.command = c;
    r.session_token = std::move(token);
    r.lease_seconds = lease;
    return r;
  }
  Result<ServiceResponse> send(Command c, std::string token = "", std::uint32_t lease = 0) {
    return dispatch_request(state, req(c, std::move(token), lease));
  }
  std::string status() { return send(Command::status).value().state; }
  std::string start_session(std::uint32_t lease = 0) {
    auto r = send(Command::start, "", lease);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error());
    return r ? r->session_token : "";
  }
  EngineSession* current() { return state.slot().get(); }

  ManualClock clock;
  LifecycleGate gate;
  FakeSessions sessions{clock};
  FakeLanes lanes;
  SharedState state{gate, sessions, lanes, clock};
};

TEST_F(Dispatcher, UnsupportedVersionBeforeAnyLock) {
  poison(state.mutex());
  auto r = dispatch_request(state, [] {
    ServiceRequest q;
    q.version = 2;
    q.command = Command::status;
    return q;
  }());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "unsupported_version");
}

TEST_F(Dispatcher, StartStopCycle) {
  EXPECT_EQ(status(), "idle");
  const std::string token = start_session();
  EXPECT_EQ(token, "token-1");
  EXPECT_EQ(status(), "active");

  for (const char* wrong : {"", "token-2", "TOKEN-1"}) {
    auto r = send(Command::stop, wrong);
    ASSERT_FALSE(r) << wrong;
    EXPECT_EQ(r.error(), "session_token_invalid");
  }
  EXPECT_EQ(status(), "active");

  auto stopped = send(Command::stop, token);
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(stopped->success);
  EXPECT_EQ(stopped->state, "idle");
  EXPECT_EQ(sessions.stopped(), std::vector<std::string>{"token-1"});

  // Idle: any token is fine.
  auto again = send(Command::stop, "whatever");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->state, "idle");
  EXPECT_EQ(sessions.stopped().size(), 1u);
}

TEST_F(Dispatcher, SecondStartReplacesTheFirstWithoutItsToken) {
  start_session();
  const std::string second = start_session();
  EXPECT_EQ(second, "token-2");
  EXPECT_EQ(sessions.stopped(), std::vector<std::string>{"token-1"});
  EXPECT_EQ(current()->session_token, "token-2");
}

TEST_F(Dispatcher, ConcurrentStartIsBusyAndStatusShowsStarting) {
  sessions.hold_starts();
  auto first = std::async(std::launch::async, [&] { return send(Command::start); });
  sessions.wait_for_starts_entered(1);

  auto second = send(Command::start);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), "service_busy");
  EXPECT_EQ(status(), "starting");
  auto renew = send(Command::renew_lease);
  ASSERT_FALSE(renew);
  EXPECT_EQ(renew.error(), "service_busy");
  auto stop = send(Command::stop);
  ASSERT_FALSE(stop);
  EXPECT_EQ(stop.error(), "service_busy");

  sessions.release_starts();
  auto r = first.get();
  ASSERT_TRUE(r);
  EXPECT_EQ(r->state, "active");
  EXPECT_EQ(r->session_token.size(), 7u);
  EXPECT_EQ(status(), "active");
}

TEST_F(Dispatcher, StoppingDuringStartTearsTheNewSessionDown) {
  sessions.hold_starts();
  auto first = std::async(std::launch::async, [&] { return send(Command::start); });
  sessions.wait_for_starts_entered(1);
  gate.set_stopping();
  sessions.release_starts();
  auto r = first.get();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "service_stopping");
  EXPECT_EQ(sessions.stopped(), std::vector<std::string>{"token-1"});
  EXPECT_EQ(current(), nullptr);
  EXPECT_TRUE(gate.wait_until_idle(std::chrono::seconds(0)));
}

TEST_F(Dispatcher, FailedChecksAndStartsReleaseTheGate) {
  sessions.validate_error = "config_invalid";
  auto r = send(Command::start);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "config_invalid");
  EXPECT_EQ(status(), "idle");

  sessions.validate_error.clear();
  sessions.start_error = "engine_ready_timeout";
  r = send(Command::start);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "engine_ready_timeout");
  EXPECT_EQ(status(), "idle");
  EXPECT_FALSE(gate.is_busy());
}

TEST_F(Dispatcher, RenewLease) {
  auto idle = send(Command::renew_lease, "anything");
  ASSERT_TRUE(idle);
  EXPECT_FALSE(idle->success);
  EXPECT_EQ(idle->state, "idle");
  EXPECT_EQ(idle->error, "");
  EXPECT_TRUE(idle->degraded);

  const std::string token = start_session(0);
  EXPECT_EQ(current()->lease_deadline, clock.now() + std::chrono::seconds(30));

  struct Case {
    std::uint32_t requested;
    int expected_seconds;
  } cases[] = {{0, 30}, {10, 30}, {30, 30}, {31, 31}, {600, 600}, {601, 600}, {100000, 600}};
  for (const auto& c : cases) {
    auto r = send(Command::renew_lease, token, c.requested);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->success);
    EXPECT_EQ(r->state, "active");
    EXPECT_EQ(current()->lease_deadline, clock.now() + std::chrono::seconds(c.expected_seconds)) << c.requested;
  }
  auto wrong = send(Command::renew_lease, "nope", 100);
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error(), "session_token_invalid");
}

TEST_F(Dispatcher, StoppingRefusesEveryCommand) {
  gate.set_stopping();
  for (Command c : {Command::start, Command::stop, Command::status, Command::renew_lease, Command::carrier,
                    Command::datagram}) {
    auto r = send(c);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "service_stopping") << command_name(c);
  }
  EXPECT_EQ(lanes.carrier_calls, 0);
}

TEST_F(Dispatcher, PoisonedLocks) {
  poison(gate.mutex());
  // A poisoned gate counts as stopping for the common checks.
  EXPECT_EQ(send(Command::status).error(), "service_stopping");

  LifecycleGate gate2;
  SharedState state2{gate2, sessions, lanes, clock};
  poison(state2.mutex());
  for (Command c : {Command::start, Command::stop, Command::status, Command::renew_lease}) {
    ServiceRequest q = req(c);
    auto r = dispatch_request(state2, q);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "state_lock_failed");
  }
  EXPECT_EQ(lease_watchdog_cycle(state2), WatchdogCycle::end);

  LifecycleGate gate3;
  poison(gate3.mutex());
  auto g = gate3.acquire_lifecycle_guard();
  ASSERT_FALSE(g);
  EXPECT_EQ(g.error(), "lifecycle_lock_failed");
  EXPECT_TRUE(gate3.is_busy());
  EXPECT_TRUE(gate3.is_stopping());
}

TEST_F(Dispatcher, LanesAreHandedTheRequest) {
  auto c = send(Command::carrier);
  ASSERT_TRUE(c);
  EXPECT_TRUE(c->carrier.has_value());
  auto d = send(Command::datagram);
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error(), "session_inactive");
  EXPECT_EQ(lanes.carrier_calls, 1);
  EXPECT_EQ(lanes.datagram_calls, 1);
}

TEST_F(Dispatcher, WatchdogTearsDownAnExpiredLease) {
  const std::string token = start_session(30);
  clock.advance(std::chrono::seconds(29));
  EXPECT_EQ(lease_watchdog_cycle(state), WatchdogCycle::keep_running);
  EXPECT_EQ(status(), "active");
  clock.advance(std::chrono::seconds(1));  // deadline reached exactly
  EXPECT_EQ(lease_watchdog_cycle(state), WatchdogCycle::keep_running);
  EXPECT_EQ(status(), "idle");
  EXPECT_EQ(sessions.stopped(), std::vector<std::string>{token});
  EXPECT_FALSE(gate.is_busy());
}

TEST_F(Dispatcher, WatchdogTearsDownWhenTheEngineExits) {
  start_session(600);
  EXPECT_EQ(lease_watchdog_cycle(state), WatchdogCycle::keep_running);
  EXPECT_EQ(status(), "active");
  static_cast<FakeSession*>(current())->exited = true;
  EXPECT_EQ(lease_watchdog_cycle(state), WatchdogCycle::keep_running);
  EXPECT_EQ(status(), "idle");
}

TEST_F(Dispatcher, WatchdogContainsAThrowingTeardownAndKeepsWatching) {
  const std::string first = start_session(30);
  clock.advance(std::chrono::seconds(60));
  sessions.throw_on_stop = true;
  test::LogMark log;
  EXPECT_EQ(contained_lease_watchdog_cycle(state), WatchdogCycle::keep_running);
  EXPECT_EQ(sessions.stopped(), std::vector<std::string>{first});  // the session it took out was handed over
  EXPECT_FALSE(gate.is_busy());
  EXPECT_EQ(status(), "idle");
  const auto lines = log.messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "lease watchdog cycle failed"), lines.end());

  // Still watching: the teardown ran without the state lock, so nothing is poisoned.
  sessions.throw_on_stop = false;
  const std::string second = start_session(30);
  clock.advance(std::chrono::seconds(60));
  EXPECT_EQ(contained_lease_watchdog_cycle(state), WatchdogCycle::keep_running);
  EXPECT_EQ(sessions.stopped(), (std::vector<std::string>{first, second}));
}

TEST_F(Dispatcher, WatchdogLeavesBusyStateAloneAndEndsWhenStopping) {
  start_session(30);
  clock.advance(std::chrono::seconds(60));
  {
    auto guard = gate.acquire_lifecycle_guard();
    ASSERT_TRUE(guard);
    EXPECT_EQ(lease_watchdog_cycle(state), WatchdogCycle::keep_running);
    EXPECT_NE(current(), nullptr);
  }
  gate.set_stopping();
  EXPECT_EQ(lease_watchdog_cycle(state), WatchdogCycle::end);
  EXPECT_NE(current(), nullptr);  // the shutdown, not the watchdog, takes it out
}

TEST_F(Dispatcher, WatchdogThreadCyclesOnItsClock) {
  start_session(30);
  std::thread watchdog([&] { run_lease_watchdog(state); });
  // Each advance of 5 s lets exactly one cycle run; after 30 s the lease is gone.
  for (int i = 1; i <= 6; ++i) {
    clock.wait_for_sleep_calls(i);
    EXPECT_EQ(sessions.stopped().size(), 0u);
    clock.advance(kWatchdogPeriod);
  }
  clock.wait_for_sleep_calls(7);  // the sixth cycle has finished
  EXPECT_EQ(sessions.stopped().size(), 1u);
  gate.set_stopping();
  clock.advance(kWatchdogPeriod);
  watchdog.join();
}

TEST(SessionToken, Rules) {
  std::unique_ptr<EngineSession> empty;
  EXPECT_TRUE(check_session_token(empty, ""));
  EXPECT_TRUE(check_session_token(empty, "x"));
  auto s = std::make_unique<FakeSession>();
  s->session_token = "abc";
  std::unique_ptr<EngineSession> slot = std::move(s);
  EXPECT_TRUE(check_session_token(slot, "abc"));
  EXPECT_FALSE(check_session_token(slot, ""));
  EXPECT_FALSE(check_session_token(slot, "abcd"));
  EXPECT_FALSE(check_session_token(slot, "ab"));
}

TEST(LifecycleGateWait, ReturnsWhenTheGuardIsReleased) {
  LifecycleGate gate;
  auto guard = gate.acquire_lifecycle_guard();
  ASSERT_TRUE(guard);
  EXPECT_FALSE(gate.wait_until_idle(std::chrono::milliseconds(1)));
  std::thread releaser([g = std::move(*guard)]() mutable { g.release(); });
  EXPECT_TRUE(gate.wait_until_idle(std::chrono::hours(1)));
  releaser.join();
}

}  // namespace
}  // namespace brenmoor
