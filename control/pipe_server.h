// The control pipe server: the loop that hands every client to its own detached
// connection handler thread, and the handler that serves exactly one request.
//
// Lifetime: handlers are detached and may outlive the loop (a client that connects
// and stays silent holds its handler until it goes away), so they share ownership
// of the SharedState. Once stopping is set the dispatcher refuses every request
// before it reaches the session backend or the lanes; a late handler therefore only
// touches the state and the gate, which it keeps alive itself.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "control/shared_state.h"
#include "platform/pipe_server.h"

namespace brenmoor {

// Pause after a failure to build the descriptor or to create an instance.
inline constexpr Duration kPipeRetryPause = std::chrono::milliseconds(500);

// Called on the loop thread each time an instance exists and the loop is about to
// wait for a client: from then on a client can connect. Tests synchronise on it.
using PipeReadyHook = std::function<void()>;

// Runs until the gate's stopping flag is set, then returns. pipe_path is the
// platform's control pipe path (platform::control_pipe_path()); tests pass their own.
// The descriptor is rebuilt from the process command line for every instance.
void run_pipe_loop(std::shared_ptr<SharedState> state, const std::string& pipe_path,
                   const PipeReadyHook& on_ready = {});

// Serves one connected client: identity, request, dispatch, response, close. Every
// failure is answered with its error response and logged as "request failed: {code}".
void handle_connection(SharedState& state, platform::PipeInstance pipe);

// Waits up to `limit` until no handler is between reading a request and having
// written its response; true when none is. For the end of the shutdown: a handler
// answering a request that raced the stop (a start that ended "service_stopping")
// would otherwise lose its response when the process ends.
bool wait_for_pending_responses(Duration limit);

// The control handler's wake-up: connect to the pipe once and disconnect, so that a
// loop blocked waiting for a client looks at the stopping flag again. Failure to
// connect is ignored (the loop is then not blocked in the wait).
void wake_pipe_loop(const std::string& pipe_path);

}  // namespace brenmoor
