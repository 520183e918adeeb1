#include "control/pipe_server.h"

#include <condition_variable>
#include <mutex>
#include <optional>
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

// Handlers between a request read and its response written. The process may end as
// soon as the service reports stopped, so the shutdown lets them finish first.
struct PendingResponses {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
};

PendingResponses& pending_responses() {
  static PendingResponses* pending = new PendingResponses;  // never destroyed: handlers are detached
  return *pending;
}

class PendingResponse {
 public:
  PendingResponse() {
    std::lock_guard lock(pending_responses().mutex);
    ++pending_responses().count;
  }
  ~PendingResponse() {
    PendingResponses& p = pending_responses();
    std::lock_guard lock(p.mutex);
    --p.count;
    p.changed.notify_all();
  }
  PendingResponse(const PendingResponse&) = delete;
  PendingResponse& operator=(const PendingResponse&) = delete;
};

Result<ServiceResponse> serve(SharedState& state, platform::PipeInstance& pipe,
                              std::optional<PendingResponse>& pending) {
  if (auto id = check_client_identity(pipe); !id) return std::unexpected(id.error());
  auto request = read_request(pipe);
  if (!request) return std::unexpected(request.error());
  pending.emplace();
  return dispatch_request(state, *request);
}

}  // namespace

bool wait_for_pending_responses(Duration limit) {
  PendingResponses& p = pending_responses();
  std::unique_lock lock(p.mutex);
  return p.changed.wait_for(lock, limit, [&] { return p.count == 0; });
}

void handle_connection(SharedState& state, platform::PipeInstance pipe) {
  std::optional<PendingResponse> pending;  // released last, once the response is out
  ServiceResponse response;
  if (auto served = serve(state, pipe, pending)) {
    response = std::move(*served);
  } else {
    write_log_line("request failed: " + served.error());
    response = error_response(served.error());
  }
  if (auto written = write_response(pipe, response); !written) write_log_line("response write failed: " + written.error());
  pipe.flush_disconnect_close();
}

namespace {

// Another process holding the name is logged once per episode, not on every retry.
class PipeCreator {
 public:
  explicit PipeCreator(platform::PipeServer& server) : server_(server) {}

  Result<platform::PipeInstance> create(platform::InstanceKind kind) {
    auto instance = server_.create_instance(pipe_security_descriptor(platform::command_line_args()), kind);
    if (instance) {
      name_taken_ = false;
    } else if (instance.error() == platform::kPipeNameTaken && !name_taken_) {
      name_taken_ = true;
      write_log_line("pipe name held by another process");
    }
    return instance;
  }

 private:
  platform::PipeServer& server_;
  bool name_taken_ = false;
};

void start_handler(const std::shared_ptr<SharedState>& state, platform::PipeInstance pipe) {
  try {
    std::thread([state, pipe = std::move(pipe)]() mutable {
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

}  // namespace

void run_pipe_loop(std::shared_ptr<SharedState> state, const std::string& pipe_path, const PipeReadyHook& on_ready) {
  LifecycleGate& gate = state->gate();
  platform::PipeServer server(pipe_path);
  PipeCreator creator(server);
  // The loop's own listening instance. Once it has one, the loop never lets go of its
  // last instance before the next exists: a name with no instance of ours is a name
  // another process may create, and our clients would then talk to it.
  std::optional<platform::PipeInstance> listening;
  for (;;) {
    if (gate.is_stopping()) return;

    if (!listening) {
      auto created = creator.create(platform::InstanceKind::first);
      if (!created) {
        // "pipe_acl_failed" / "pipe_create_failed" / the name held by another
        // process: retried without limit.
        state->clock().sleep_for(kPipeRetryPause);
        continue;
      }
      listening = std::move(*created);
    }
    if (gate.is_stopping()) return;  // the instance closes on the way out
    if (on_ready) on_ready();

    auto connected = listening->wait_for_client();
    auto next = creator.create(platform::InstanceKind::another);
    if (!connected) {
      // The failed instance listens again; a fresh one replaces it when it can be made.
      // Out of resources for a connection is a creation failure in disguise; any
      // other failure (a client that came and went at once) is retried at once.
      if (next) listening = std::move(*next);
      if (!next || connected.error() == "pipe_create_failed") state->clock().sleep_for(kPipeRetryPause);
      continue;
    }
    // The connected client waits until the next instance exists (for example while
    // every one of the 255 is busy); then it is handed over.
    while (!next && !gate.is_stopping()) {
      state->clock().sleep_for(kPipeRetryPause);
      next = creator.create(platform::InstanceKind::another);
    }
    platform::PipeInstance client = std::move(*listening);
    listening.reset();
    if (next) listening = std::move(*next);
    start_handler(state, std::move(client));
  }
}

void wake_pipe_loop(const std::string& pipe_path) {
  auto client = platform::open_pipe_client(pipe_path, Duration::zero());
  if (client) client->close();
}

}  // namespace brenmoor
