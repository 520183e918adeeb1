// The service body: what runs on the service thread from "run_service start" to the
// last status report, in service mode and in foreground mode, and the control
// handler that ends it.
//
// Threads: the lease watchdog and the bypass guard are started detached and hold the
// state; connection handlers likewise (control/pipe_server.h). The collaborators
// (session backend, lane handlers, clock) must outlive all of them: the process
// keeps its own for its whole life.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "common/error.h"
#include "control/shared_state.h"
#include "platform/paths.h"
#include "platform/service_host.h"

namespace brenmoor {

inline constexpr std::string_view kServiceName = "BrenmoorFullDevice";
inline constexpr Duration kShutdownStep = std::chrono::seconds(5);
inline constexpr std::uint32_t kStopPendingWaitHintMs = 90000;
inline constexpr std::uint32_t kStopProgressWaitHintMs = 30000;

// The service's own exit codes in the stopped record of a failed service (beside
// the Win32 code ERROR_SERVICE_SPECIFIC_ERROR). Without that last report the
// dispatcher never returns, the process stays, and the service cannot be started again.
inline constexpr std::uint32_t kExitCleanupFailed = 1;  // "cleanup_worker_panicked"
inline constexpr std::uint32_t kExitServiceFailed = 2;  // any other failure, e.g. SERVICE_RUNNING not reported

struct ServiceCollaborators {
  SessionBackend& sessions;
  LaneHandlers& lanes;
  Clock& clock;
};

struct ServiceOptions {
  std::string pipe_path = platform::control_pipe_path();
  // Length of one wait of the shutdown sequence (for lifecycle work and for the
  // cleanup worker); tests shorten it.
  Duration shutdown_step = kShutdownStep;
  // The bypass guard thread's body, started second and detached. Empty: no guard.
  std::function<void(std::shared_ptr<SharedState>)> bypass_guard;
  // Passed to the pipe loop (control/pipe_server.h); for tests.
  std::function<void()> on_pipe_ready;
  // Undoes what a killed predecessor left behind (the network journal). Runs once,
  // on its own thread, under the lifecycle guard taken before the pipe loop serves:
  // starts meanwhile get "service_busy", status says "starting", and a Stop waits
  // for it as for a start. Empty: nothing to recover.
  std::function<void()> recover_network;
};

// The one SharedState and its LifecycleGate, owned together.
std::shared_ptr<SharedState> make_service_state(const ServiceCollaborators& c);

// The control handler. Stop (1) and Shutdown (5): set stopping, then open the pipe
// once as a client and close it (wakes a loop blocked waiting for a client); 0.
// Everything else, Interrogate included: 120, nothing changed. Takes only the gate lock.
std::uint32_t handle_service_control(std::uint32_t control, LifecycleGate& gate, const std::string& pipe_path);

// The ordered shutdown: set stopping, wait for the running lifecycle operation in
// steps (progress after each step that found it still running), take the session
// out and tear it down on the cleanup worker (progress after each step it is still
// busy). Failure: "cleanup_worker_panicked" when the worker ended without signalling.
// progress may be empty (foreground mode).
[[nodiscard]] Status run_shutdown_sequence(SharedState& state, const std::function<void()>& progress, Duration step);

// Service mode: register the control handler, report running, serve until stopped,
// shut down with progress reports, report stopped. Failure: the registration or a
// running/stopped report error, or "cleanup_worker_panicked"; the service main
// function then logs it and calls report_failed_stop.
[[nodiscard]] Status run_service(platform::ServiceManagerLink& link, const ServiceCollaborators& c,
                                 const ServiceOptions& options);

// Takes the lifecycle guard and runs `recover` under it on a detached thread (on
// this thread when no thread can be started). Nothing when `recover` is empty.
void start_network_recovery(const std::shared_ptr<SharedState>& state, const std::function<void()>& recover);

// The last report of a service whose run_service failed: SERVICE_STOPPED with
// ERROR_SERVICE_SPECIFIC_ERROR and service_exit_code(error), best effort. Called
// after "service failed: {error}" is logged, since the dispatcher returns once
// stopped is reported and the process may end at any moment after.
std::uint32_t service_exit_code(const ErrorCode& error);
void report_failed_stop(platform::ServiceManagerLink& link, const ErrorCode& error);

// Foreground mode: the same without any status report or handler; nothing sets
// stopping, so it serves until the process is ended.
[[nodiscard]] Status run_foreground(const ServiceCollaborators& c, const ServiceOptions& options);

}  // namespace brenmoor
