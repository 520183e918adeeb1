#include "control/pipe_server.h"

#include <system_error>
#include <thread>

#include "control/dispatcher.h"
#include "control/frame.h"
#include "control/identity.h"
#include "control/pipe_access.h"
#include "platform/pipe_client.h"
#include "platform/process_info.h"
#include "service/log.h"

namespace brenmoor {
namespace {

Result<ServiceResponse> serve(SharedState& state, platform::PipeInstance& pipe) {
  if (auto id = check_client_identity(pipe); !id) return std::unexpected(id.error());
  auto request = read_request(pipe);
  if (!request) return std::unexpected(request.error());
  return dispatch_request(state, *request);
}

}  // namespace

void handle_connection(SharedState& state, platform::PipeInstance pipe) {
  ServiceResponse response;
  if (auto served = serve(state, pipe)) {
    response = std::move(*served);
  } else {
    write_log_line("request failed: " + served.error());
    response = error_response(served.error());
  }
  if (auto written = write_response(pipe, response); !written) write_log_line("response write failed: " + written.error());
  pipe.flush_disconnect_close();
}

void run_pipe_loop(std::shared_ptr<SharedState> state, const std::string& pipe_path, const PipeReadyHook& on_ready) {
  LifecycleGate& gate = state->gate();
  platform::PipeServer server(pipe_path);
  for (;;) {
    if (gate.is_stopping()) return;

    auto instance = server.create_instance(pipe_security_descriptor(platform::command_line_args()));
    if (!instance) {
      // "pipe_acl_failed" / "pipe_create_failed": neither logged nor counted.
      state->clock().sleep_for(kPipeRetryPause);
      continue;
    }
    if (gate.is_stopping()) return;  // the instance closes on the way out
    if (on_ready) on_ready();

    if (auto connected = instance->wait_for_client(); !connected) {
      // Out of resources for a connection is a creation failure in disguise; any
      // other failure (a client that came and went at once) is retried at once.
      if (connected.error() == "pipe_create_failed") state->clock().sleep_for(kPipeRetryPause);
      continue;
    }

    try {
      std::thread([state, pipe = std::move(*instance)]() mutable {
        // A handler that ends abnormally must not take the service with it: a lock it
        // held is marked poisoned while the exception unwinds, the instance closes,
        // and later requests meet the poisoned mark instead.
        try {
          handle_connection(*state, std::move(pipe));
        } catch (...) {
          write_log_line("connection handler failed");
        }
      }).detach();
    } catch (const std::system_error&) {
      // No thread, no handler: the instance closes with the failed thread's copy of
      // the lambda, and the client sees its connection end without a response.
      write_log_line("connection handler start failed");
      state->clock().sleep_for(kPipeRetryPause);
    }
  }
}

void wake_pipe_loop(const std::string& pipe_path) {
  auto client = platform::open_pipe_client(pipe_path, Duration::zero());
  if (client) client->close();
}

}  // namespace brenmoor
