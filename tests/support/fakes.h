// Test doubles for the dispatcher's collaborators and a hand-driven clock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "control/shared_state.h"

namespace brenmoor::test {

// A clock that only moves when the test says so; sleep_for blocks until it has.
class ManualClock final : public Clock {
 public:
  MonoTime now() override {
    std::lock_guard<std::mutex> l(mu_);
    return now_;
  }
  void sleep_for(Duration d) override {
    std::unique_lock<std::mutex> l(mu_);
    const MonoTime until = now_ + d;
    ++sleep_calls_;
    cv_.notify_all();
    cv_.wait(l, [&] { return now_ >= until; });
  }
  void advance(Duration d) {
    {
      std::lock_guard<std::mutex> l(mu_);
      now_ += d;
    }
    cv_.notify_all();
  }
  // Blocks until sleep_for has been entered n times in all.
  void wait_for_sleep_calls(int n) {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return sleep_calls_ >= n; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  MonoTime now_{std::chrono::hours(1000)};
  int sleep_calls_ = 0;
};

struct FakeSession final : EngineSession {
  std::atomic<bool> exited{false};
};

// Records what the dispatcher asks of the engine side. A start can be held at a
// gate so tests can observe the dispatcher while a lifecycle operation runs.
class FakeSessions final : public SessionBackend {
 public:
  explicit FakeSessions(Clock& clock) : clock_(clock) {}

  Status validate_start_request(const ServiceRequest&) override {
    if (!validate_error.empty()) return fail(validate_error);
    return {};
  }

  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest& request) override {
    {
      std::unique_lock<std::mutex> l(mu_);
      ++starts_entered_;
      cv_.notify_all();
      cv_.wait(l, [&] { return !hold_starts_; });
    }
    if (!start_error.empty()) return fail(start_error);
    auto s = std::make_unique<FakeSession>();
    s->session_token = "token-" + std::to_string(++next_token_);
    s->lease_deadline = clock_.now() + lease_length(request.lease_seconds);
    return std::unique_ptr<EngineSession>(std::move(s));
  }

  void stop_engine_session(std::unique_ptr<EngineSession> session) override {
    {
      std::lock_guard<std::mutex> l(mu_);
      stopped_.push_back(session->session_token);
    }
    if (throw_on_stop) throw std::runtime_error("teardown failed");
  }

  bool engine_exited(EngineSession& session) override { return static_cast<FakeSession&>(session).exited.load(); }

  void hold_starts() {
    std::lock_guard<std::mutex> l(mu_);
    hold_starts_ = true;
  }
  void release_starts() {
    {
      std::lock_guard<std::mutex> l(mu_);
      hold_starts_ = false;
    }
    cv_.notify_all();
  }
  void wait_for_starts_entered(int n) {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return starts_entered_ >= n; });
  }
  std::vector<std::string> stopped() {
    std::lock_guard<std::mutex> l(mu_);
    return stopped_;
  }

  std::string validate_error;
  std::string start_error;
  std::atomic<bool> throw_on_stop{false};  // stop_engine_session throws after recording

 private:
  Clock& clock_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool hold_starts_ = false;
  int starts_entered_ = 0;
  int next_token_ = 0;
  std::vector<std::string> stopped_;
};

class FakeLanes final : public LaneHandlers {
 public:
  Result<ServiceResponse> handle_carrier_request(SharedState&, const ServiceRequest&) override {
    ++carrier_calls;
    ServiceResponse r;
    r.success = true;
    r.state = "active";
    r.carrier = CarrierStatus{};
    return r;
  }
  Result<ServiceResponse> handle_datagram_request(SharedState&, const ServiceRequest&) override {
    ++datagram_calls;
    return fail("session_inactive");
  }
  std::atomic<int> carrier_calls{0};
  std::atomic<int> datagram_calls{0};
};

}  // namespace brenmoor::test
