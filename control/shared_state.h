// State shared by every service thread: the session slot behind one lock, the
// lifecycle gate, and the collaborators that start and stop sessions and relay
// the lane requests. Long work never runs under the SharedState lock.
#pragma once

#include <memory>

#include "common/error.h"
#include "control/lifecycle_gate.h"
#include "common/poison_mutex.h"
#include "control/records.h"
#include "engine/engine_session.h"
#include "platform/clock.h"

namespace brenmoor {

// Engine sessions as the dispatcher and the watchdog see them.
class SessionBackend {
 public:
  virtual ~SessionBackend() = default;
  [[nodiscard]] virtual Status validate_start_request(const ServiceRequest& request) = 0;
  // A new session with its session token and lease deadline set, or a code after
  // the backend has cleaned up after itself.
  [[nodiscard]] virtual Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest& request) = 0;
  // Consumes the session, tears it down and always completes.
  virtual void stop_engine_session(std::unique_ptr<EngineSession> session) = 0;
  // Non-blocking; a failed check counts as not exited.
  virtual bool engine_exited(EngineSession& session) = 0;
};

class SharedState;

// The carrier and datagram request families; they take their own locks.
class LaneHandlers {
 public:
  virtual ~LaneHandlers() = default;
  [[nodiscard]] virtual Result<ServiceResponse> handle_carrier_request(SharedState& state, const ServiceRequest& request) = 0;
  [[nodiscard]] virtual Result<ServiceResponse> handle_datagram_request(SharedState& state, const ServiceRequest& request) = 0;
};

class SharedState {
 public:
  SharedState(LifecycleGate& gate, SessionBackend& sessions, LaneHandlers& lanes, Clock& clock)
      : gate_(gate), sessions_(sessions), lanes_(lanes), clock_(clock) {}

  // The slot may only be touched while a PoisonLock on mutex() is held.
  PoisonMutex& mutex() { return mutex_; }
  std::unique_ptr<EngineSession>& slot() { return slot_; }

  LifecycleGate& gate() { return gate_; }
  SessionBackend& sessions() { return sessions_; }
  LaneHandlers& lanes() { return lanes_; }
  Clock& clock() { return clock_; }

 private:
  PoisonMutex mutex_;
  std::unique_ptr<EngineSession> slot_;
  LifecycleGate& gate_;
  SessionBackend& sessions_;
  LaneHandlers& lanes_;
  Clock& clock_;
};

// Lock the SharedState (poisoned: "state_lock_failed"), refuse when stopping
// ("service_stopping"), then take the lifecycle guard.
[[nodiscard]] Result<LifecycleGuard> begin_lifecycle_operation(SharedState& state);

// Passes with an empty slot; with a session only for its exact, non-empty token.
[[nodiscard]] Status check_session_token(const std::unique_ptr<EngineSession>& slot, std::string_view token);

// "lease_seconds" clamped to 30..600 seconds.
Duration lease_length(std::uint32_t lease_seconds);

}  // namespace brenmoor
