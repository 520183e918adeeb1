// The control pipe server: the loop that hands every client to its own detached
// connection handler thread, and the handler that serves exactly one request.
//
// Lifetime: handlers are detached and may outlive the loop (until their deadlines
// end them), so they share ownership of the SharedState. Once stopping is set the
// dispatcher refuses every request before it reaches the session backend or the
// lanes; a late handler therefore only touches the state and the gate, which it
// keeps alive itself.
//
// Bounds: at most max_handlers handlers run at once (the pipe's instance limit);
// a client beyond them waits in the system's queue until one ends. A connection
// must deliver its whole request within request_read of connecting and take its
// response within response_write; otherwise it is closed with "pipe_read_failed" /
// "pipe_write_failed". So no client, however many connections it opens, holds a
// thread, an instance or memory for long.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "control/shared_state.h"
#include "platform/pipe_server.h"

namespace brenmoor {

// Pause after a failure to build the descriptor, to create an instance or to start
// a connection handler.
inline constexpr Duration kPipeRetryPause = std::chrono::milliseconds(500);

inline constexpr std::size_t kMaxConnectionHandlers = platform::kPipeMaxInstances;
inline constexpr Duration kRequestReadLimit = std::chrono::seconds(10);    // from the connection
inline constexpr Duration kResponseWriteLimit = std::chrono::seconds(10);  // from the response's start

struct PipeLimits {
  Duration request_read = kRequestReadLimit;
  Duration response_write = kResponseWriteLimit;
  std::size_t max_handlers = kMaxConnectionHandlers;  // 1 .. kMaxConnectionHandlers
};

// Called on the loop thread each time an instance exists and the loop is about to
// wait for a client: from then on a client can connect. Tests synchronise on it.
using PipeReadyHook = std::function<void()>;

// Runs until the gate's stopping flag is set, then returns. pipe_path is the
// platform's control pipe path (platform::control_pipe_path()); tests pass their own.
// The descriptor is rebuilt from the process command line for every instance.
// No exception or allocation failure ends the loop or the process: a failed step is
// paused after and tried again.
void run_pipe_loop(std::shared_ptr<SharedState> state, const std::string& pipe_path,
                   const PipeReadyHook& on_ready = {}, const PipeLimits& limits = {});

// Serves one connected client: identity, request, dispatch, response, disconnect
// (the instance stays open and listens again). Every failure is answered with its
// error response and logged as "request failed: {code}". The deadlines of `limits`
// are set on the instance here and nowhere else.
void handle_connection(SharedState& state, platform::PipeInstance& pipe, const PipeLimits& limits);

// Waits up to `limit` until no handler is between reading a request and having
// written its response; true when none is. For the end of the shutdown: a handler
// answering a request that raced the stop (a start that ended "service_stopping")
// would otherwise lose its response when the process ends.
bool wait_for_pending_responses(Duration limit);

// Connection handler threads of this process running now (every loop's). For the
// bounds' tests and the benchmark.
std::size_t running_connection_handlers();

// The control handler's wake-up: connect to the pipe once and disconnect, so that a
// loop blocked waiting for a client looks at the stopping flag again. Failure to
// connect is ignored (the loop is then not blocked in the wait). A loop that waits
// for a handler to end, with every instance busy, is woken without a connection.
void wake_pipe_loop(const std::string& pipe_path);

}  // namespace brenmoor
