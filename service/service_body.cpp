#include "service/service_body.h"

#include <future>
#include <system_error>
#include <thread>

#include "control/dispatcher.h"
#include "control/pipe_server.h"
#include "service/log.h"

namespace brenmoor {
namespace {

using platform::ServiceStatusRecord;

struct ServiceCore {
  LifecycleGate gate;
  SharedState state;
  explicit ServiceCore(const ServiceCollaborators& c) : state(gate, c.sessions, c.lanes, c.clock) {}
};

// Lease watchdog first, then the bypass guard; both detached, both holding the state.
Status start_background_threads(const std::shared_ptr<SharedState>& state, const ServiceOptions& options) {
  try {
    std::thread([state] { run_lease_watchdog(*state); }).detach();
    if (options.bypass_guard) std::thread([state, guard = options.bypass_guard] { guard(state); }).detach();
  } catch (const std::system_error&) {
    // Serving without a watchdog would let leases never run out: refuse to serve.
    return fail("thread_start_failed");
  }
  return {};
}

// The session taken out at shutdown, shared between the shutdown and its worker so
// that it is torn down even when the worker thread cannot be started.
struct CleanupJob {
  SessionBackend& sessions;
  std::unique_ptr<EngineSession> session;
  std::promise<void> done;

  // The completion message is sent only after the teardown returned normally; a
  // teardown that throws ends the worker without it, which closes the channel.
  void run() {
    try {
      if (session) sessions.stop_engine_session(std::move(session));
    } catch (...) {
      std::promise<void> closed = std::move(done);  // destroyed unsatisfied: broken promise
      return;
    }
    done.set_value();
  }
};

// Recovery must never end the service: at worst its journal stays for the next start.
void run_recovery(const std::function<void()>& recover) noexcept {
  try {
    recover();
  } catch (...) {
    write_log_line("network recovery failed");
  }
}

std::unique_ptr<EngineSession> take_session(SharedState& state) {
  PoisonLock lock(state.mutex());
  if (lock.poisoned()) write_log_line("shutdown recovering poisoned shared state");
  return std::move(state.slot());
}

}  // namespace

void start_network_recovery(const std::shared_ptr<SharedState>& state, const std::function<void()>& recover) {
  if (!recover) return;
  // Taken here, before the pipe loop exists, so no start can run ahead of it.
  auto guard = begin_lifecycle_operation(*state);
  if (!guard) {
    write_log_line("network recovery skipped: " + guard.error());
    return;
  }
  auto held = std::make_shared<LifecycleGuard>(std::move(*guard));
  try {
    std::thread([state, held, recover]() mutable {
      run_recovery(recover);
      held->release();
    }).detach();
  } catch (const std::system_error&) {
    run_recovery(recover);
    held->release();
  }
}

std::shared_ptr<SharedState> make_service_state(const ServiceCollaborators& c) {
  auto core = std::make_shared<ServiceCore>(c);
  return std::shared_ptr<SharedState>(core, &core->state);
}

std::uint32_t handle_service_control(std::uint32_t control, LifecycleGate& gate, const std::string& pipe_path) {
  switch (control) {
    case platform::kControlStop:
    case platform::kControlShutdown:
      gate.set_stopping();
      wake_pipe_loop(pipe_path);
      return platform::kNoError;
    default:
      return platform::kErrorCallNotImplemented;
  }
}

Status run_shutdown_sequence(SharedState& state, const std::function<void()>& progress, Duration step) {
  {
    // Lock order: SharedState first, then (inside set_stopping) the gate.
    PoisonLock lock(state.mutex());
    if (lock.poisoned()) write_log_line("shutdown recovering poisoned shared state");
    state.gate().set_stopping();
  }

  while (!state.gate().wait_until_idle(step)) {
    write_log_line("shutdown waiting for lifecycle cleanup");
    if (progress) progress();
  }

  auto job = std::make_shared<CleanupJob>(CleanupJob{state.sessions(), take_session(state), {}});
  std::future<void> completion = job->done.get_future();
  std::thread worker;
  try {
    worker = std::thread([job] { job->run(); });
  } catch (const std::system_error&) {
    job->run();  // no worker thread: the teardown still has to happen
  }

  for (;;) {
    if (completion.wait_for(step) == std::future_status::timeout) {
      if (progress) progress();
      continue;
    }
    bool completed = true;
    try {
      completion.get();
    } catch (const std::future_error&) {
      completed = false;
    }
    // Answers to requests that raced the stop are written before the service may
    // report stopped, after which the process can end at any moment.
    (void)wait_for_pending_responses(step);
    if (!completed) {
      write_log_line("shutdown cleanup failed: cleanup_worker_panicked");
      if (worker.joinable()) worker.detach();
      return fail("cleanup_worker_panicked");
    }
    if (worker.joinable()) worker.join();
    return {};
  }
}

Status run_service(platform::ServiceManagerLink& link, const ServiceCollaborators& c, const ServiceOptions& options) {
  write_log_line("run_service start");
  std::shared_ptr<SharedState> state = make_service_state(c);
  if (auto s = start_background_threads(state, options); !s) return s;
  start_network_recovery(state, options.recover_network);

  // The handler keeps the state (and so the gate) alive for as long as the manager
  // may call it.
  auto registered = link.register_control_handler([state, pipe = options.pipe_path](std::uint32_t control) {
    return handle_service_control(control, state->gate(), pipe);
  });
  // A body that will never serve lets its background threads end as well.
  if (!registered) {
    state->gate().set_stopping();
    return registered;
  }

  if (auto s = link.report_status({platform::kServiceRunning, platform::kAcceptStopAndShutdown, 0, 0}); !s) {
    state->gate().set_stopping();
    return s;
  }
  write_log_line("status running");

  run_pipe_loop(state, options.pipe_path, options.on_pipe_ready);
  write_log_line("pipe loop exited");

  std::uint32_t checkpoint = 1;
  if (auto s = link.report_status({platform::kServiceStopPending, 0, checkpoint, kStopPendingWaitHintMs}); !s)
    write_log_line("shutdown pending status failed: " + s.error());

  // report_stop_progress
  const auto progress = [&] {
    ++checkpoint;
    if (auto s = link.report_status({platform::kServiceStopPending, 0, checkpoint, kStopProgressWaitHintMs}); !s)
      write_log_line("shutdown progress status failed: " + s.error());
  };
  if (auto s = run_shutdown_sequence(*state, progress, options.shutdown_step); !s) return fail("cleanup_worker_panicked");

  // Before the report: once stopped is reported the process may end at any moment.
  write_log_line("service stopped");
  return link.report_status({platform::kServiceStopped, 0, 0, 0});
}

std::uint32_t service_exit_code(const ErrorCode& error) {
  return error == "cleanup_worker_panicked" ? kExitCleanupFailed : kExitServiceFailed;
}

void report_failed_stop(platform::ServiceManagerLink& link, const ErrorCode& error) {
  // Its own failure goes unreported: the service is failing already. Without a
  // registered handler (the registration failed) there is nothing to report to.
  (void)link.report_status(
      {platform::kServiceStopped, 0, 0, 0, platform::kErrorServiceSpecificError, service_exit_code(error)});
}

Status run_foreground(const ServiceCollaborators& c, const ServiceOptions& options) {
  std::shared_ptr<SharedState> state = make_service_state(c);
  if (auto s = start_background_threads(state, options); !s) return s;
  start_network_recovery(state, options.recover_network);
  run_pipe_loop(state, options.pipe_path, options.on_pipe_ready);
  if (auto s = run_shutdown_sequence(*state, {}, options.shutdown_step); !s) return fail("cleanup_worker_panicked");
  write_log_line("service stopped");
  return {};
}

}  // namespace brenmoor
