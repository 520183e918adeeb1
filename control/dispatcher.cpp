#include "control/dispatcher.h"

#include "service/log.h"

namespace brenmoor {
namespace {

ServiceResponse success_response(std::string state) {
  ServiceResponse r;
  r.success = true;
  r.state = std::move(state);
  return r;
}

Result<ServiceResponse> handle_start(SharedState& state, const ServiceRequest& request) {
  auto guard = begin_lifecycle_operation(state);
  if (!guard) return std::unexpected(guard.error());

  if (auto valid = state.sessions().validate_start_request(request); !valid) return std::unexpected(valid.error());

  // A start replaces a running session without asking for its token.
  std::unique_ptr<EngineSession> previous;
  {
    PoisonLock lock(state.mutex());
    if (lock.poisoned()) return fail("state_lock_failed");
    previous = std::move(state.slot());
  }
  if (previous) state.sessions().stop_engine_session(std::move(previous));

  {
    PoisonLock lock(state.mutex());
    if (lock.poisoned()) return fail("state_lock_failed");
    if (state.gate().is_stopping()) return fail("service_stopping");
  }

  // No lock while the engine starts: the guard keeps other lifecycle operations
  // out and makes "status" answer "starting".
  auto started = state.sessions().start_engine_session(request);
  if (!started) return std::unexpected(started.error());
  std::unique_ptr<EngineSession> session = std::move(*started);

  // From here until it is in the slot the new session has the network configured:
  // whatever happens, an exception included, it is torn down rather than merely
  // released (which would end the engine and leave routes, DNS and addresses).
  try {
    ServiceResponse response = success_response("active");
    response.session_token = session->session_token;
    PoisonLock lock(state.mutex());
    if (lock.poisoned()) {
      lock.unlock();
      state.sessions().stop_engine_session(std::move(session));
      return fail("state_lock_failed");
    }
    if (state.gate().is_stopping()) {
      lock.unlock();
      state.sessions().stop_engine_session(std::move(session));
      return fail("service_stopping");
    }
    state.slot() = std::move(session);  // cannot throw: the slot is empty
    return response;
  } catch (...) {
    if (session) state.sessions().stop_engine_session(std::move(session));
    throw;
  }
}

Result<ServiceResponse> handle_stop(SharedState& state, const ServiceRequest& request) {
  auto guard = begin_lifecycle_operation(state);
  if (!guard) return std::unexpected(guard.error());
  std::unique_ptr<EngineSession> session;
  {
    PoisonLock lock(state.mutex());
    if (lock.poisoned()) return fail("state_lock_failed");
    if (auto ok = check_session_token(state.slot(), request.session_token); !ok) return std::unexpected(ok.error());
    session = std::move(state.slot());
  }
  if (session) state.sessions().stop_engine_session(std::move(session));
  return success_response("idle");
}

Result<ServiceResponse> handle_status(SharedState& state) {
  PoisonLock lock(state.mutex());
  if (lock.poisoned()) return fail("state_lock_failed");
  // A running start, stop or watchdog teardown shows as "starting", even over a session.
  if (state.gate().is_busy()) return success_response("starting");
  return success_response(state.slot() ? "active" : "idle");
}

Result<ServiceResponse> handle_renew(SharedState& state, const ServiceRequest& request) {
  PoisonLock lock(state.mutex());
  if (lock.poisoned()) return fail("state_lock_failed");
  if (state.gate().is_busy()) return fail("service_busy");
  if (auto ok = check_session_token(state.slot(), request.session_token); !ok) return std::unexpected(ok.error());
  if (!state.slot()) {
    ServiceResponse r;
    r.success = false;
    r.state = "idle";
    r.degraded = true;
    return r;
  }
  state.slot()->lease_deadline = state.clock().now() + lease_length(request.lease_seconds);
  return success_response("active");
}

}  // namespace

Result<ServiceResponse> dispatch_request(SharedState& state, const ServiceRequest& request) {
  if (request.version != 1) return fail("unsupported_version");
  {
    PoisonLock lock(state.mutex());
    if (lock.poisoned()) return fail("state_lock_failed");
    if (state.gate().is_stopping()) return fail("service_stopping");
  }
  switch (request.command) {
    case Command::start: return handle_start(state, request);
    case Command::stop: return handle_stop(state, request);
    case Command::status: return handle_status(state);
    case Command::renew_lease: return handle_renew(state, request);
    case Command::datagram: return state.lanes().handle_datagram_request(state, request);
    case Command::carrier: return state.lanes().handle_carrier_request(state, request);
  }
  return fail("request_decode_failed");
}

WatchdogCycle lease_watchdog_cycle(SharedState& state) {
  PoisonLock lock(state.mutex());
  if (lock.poisoned()) return WatchdogCycle::end;
  if (state.gate().is_stopping()) return WatchdogCycle::end;
  if (state.gate().is_busy()) return WatchdogCycle::keep_running;
  std::unique_ptr<EngineSession>& slot = state.slot();
  if (!slot) return WatchdogCycle::keep_running;
  const bool expired = slot->lease_deadline <= state.clock().now();
  if (!expired && !state.sessions().engine_exited(*slot)) return WatchdogCycle::keep_running;
  auto guard = state.gate().acquire_lifecycle_guard();
  if (!guard) return WatchdogCycle::keep_running;
  std::unique_ptr<EngineSession> session = std::move(slot);
  lock.unlock();
  state.sessions().stop_engine_session(std::move(session));
  return WatchdogCycle::keep_running;  // the guard is released here, after the teardown
}

WatchdogCycle contained_lease_watchdog_cycle(SharedState& state) noexcept {
  try {
    return lease_watchdog_cycle(state);
  } catch (...) {
    // As for a connection handler: the thread carries on, and a lock held while the
    // exception unwound stays poisoned, which ends the watchdog at its next cycle.
    write_log_line("lease watchdog cycle failed");
    return WatchdogCycle::keep_running;
  }
}

void run_lease_watchdog(SharedState& state) {
  for (;;) {
    state.clock().sleep_for(kWatchdogPeriod);
    if (contained_lease_watchdog_cycle(state) == WatchdogCycle::end) return;
  }
}

}  // namespace brenmoor
