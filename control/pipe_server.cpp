#include "control/pipe_server.h"

#include <algorithm>
#include <atomic>
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

void handle_connection(SharedState& state, platform::PipeInstance& pipe, const PipeLimits& limits) {
  pipe.set_read_deadline(pipe.connected_at() + limits.request_read);
  std::optional<PendingResponse> pending;  // released last, once the response is out
  ServiceResponse response;
  if (auto served = serve(state, pipe, pending)) {
    response = std::move(*served);
  } else {
    write_log_line("request failed: " + served.error());
    response = error_response(served.error());
  }
  pipe.set_write_deadline(MonoClock::now() + limits.response_write);
  if (auto written = write_response(pipe, response); !written) write_log_line("response write failed: " + written.error());
  pipe.flush_disconnect();
}

namespace {

// A log line that cannot be written (no memory for it) is dropped: the loop and the
// handlers must never end over their own logging.
void log_quietly(std::string_view line) noexcept {
  try {
    write_log_line(std::string(line));
  } catch (...) {
  }
}

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
      log_quietly("pipe name held by another process");
    }
    return instance;
  }

 private:
  platform::PipeServer& server_;
  bool name_taken_ = false;
};

// Process-wide, so that wake_pipe_loop reaches a loop that waits for a handler to end.
struct LoopSync {
  std::mutex mutex;
  std::condition_variable changed;
};

LoopSync& loop_sync() {
  static LoopSync* sync = new LoopSync;  // never destroyed: handlers are detached
  return *sync;
}

// One loop's handlers, shared with them (they may outlive the loop). Guarded by
// loop_sync().mutex.
struct Handlers {
  std::size_t running = 0;
  // The loop holds no listening instance (every instance is a handler's) and waits
  // for the first handler to end to give it its disconnected instance: the name
  // then never has no instance of ours, and the instance limit is never exceeded.
  bool loop_waiting = false;
  std::optional<platform::PipeInstance> handed_back;
  bool loop_ended = false;
};

struct HandlerJob {
  std::shared_ptr<SharedState> state;
  std::shared_ptr<Handlers> handlers;
  PipeLimits limits;
  platform::PipeInstance pipe;
};

// A handler's end: its instance goes to the waiting loop, or is closed.
void end_handler(HandlerJob& job) noexcept {
  LoopSync& sync = loop_sync();
  std::lock_guard lock(sync.mutex);
  --job.handlers->running;
  if (job.handlers->loop_waiting && !job.handlers->handed_back && !job.handlers->loop_ended && job.pipe.valid()) {
    job.handlers->handed_back.emplace(std::move(job.pipe));
  }
  sync.changed.notify_all();
  // An instance not handed back closes with the job, outside the lock.
}

// Ends a connection that gets no (further) response, without waiting for the client
// to take anything.
void let_go(platform::PipeInstance& pipe) noexcept {
  pipe.set_write_deadline(MonoClock::now());
  pipe.flush_disconnect();
}

std::atomic<std::size_t> g_running_handlers{0};

// Counted from before its thread starts (start_handler) to its end, so that a count of
// zero means no handler is left that could still log.
void run_handler(HandlerJob* raw) noexcept {
  std::unique_ptr<HandlerJob> job(raw);
  struct Count {
    ~Count() { --g_running_handlers; }
  } count;
  // A handler that ends abnormally must not take the service with it: a lock it held
  // is marked poisoned while the exception unwinds, and later requests meet the
  // poisoned mark instead.
  try {
    handle_connection(*job->state, job->pipe, job->limits);
  } catch (...) {
    log_quietly("connection handler failed");
    let_go(job->pipe);
  }
  end_handler(*job);
}

// Starts a handler for the connected `pipe`; false when none could be started, and
// `pipe` then still holds the instance.
bool start_handler(const std::shared_ptr<SharedState>& state, const std::shared_ptr<Handlers>& handlers,
                   const PipeLimits& limits, platform::PipeInstance& pipe) {
  try {
    auto job = std::make_unique<HandlerJob>(HandlerJob{state, handlers, limits, {}});
    job->pipe = std::move(pipe);
    ++g_running_handlers;
    try {
      std::thread(run_handler, job.get()).detach();
      job.release();  // the thread owns it now
      return true;
    } catch (...) {
      --g_running_handlers;
      pipe = std::move(job->pipe);
      throw;
    }
  } catch (...) {
    // std::system_error (no thread) or std::bad_alloc (no memory for the job or
    // the thread's start): no handler.
    return false;
  }
}

}  // namespace

void run_pipe_loop(std::shared_ptr<SharedState> state, const std::string& pipe_path, const PipeReadyHook& on_ready,
                   const PipeLimits& limits) {
  LifecycleGate& gate = state->gate();
  LoopSync& sync = loop_sync();
  const std::size_t max_handlers = std::clamp<std::size_t>(limits.max_handlers, 1, kMaxConnectionHandlers);
  std::shared_ptr<Handlers> handlers;
  std::optional<platform::PipeServer> server;
  std::optional<PipeCreator> creator;
  // The loop's own listening instance. Once it has one, the loop never lets go of its
  // last instance before the next exists: a name with no instance of ours is a name
  // another process may create, and our clients would then talk to it.
  std::optional<platform::PipeInstance> listening;
  bool start_failed = false;  // a handler start failed and none has started since

  // On every way out: late handlers close their instances instead of handing them
  // to a loop that is gone.
  auto end_loop = [&]() noexcept {
    if (!handlers) return;
    std::lock_guard lock(sync.mutex);
    handlers->loop_ended = true;
    handlers->loop_waiting = false;
    handlers->handed_back.reset();
  };
  struct AtExit {
    decltype(end_loop)& f;
    ~AtExit() { f(); }
  } at_exit{end_loop};

  for (;;) {
    if (gate.is_stopping()) return;
    bool holding_client = false;  // `listening` is connected to a client not yet handed over
    try {
      if (!handlers) handlers = std::make_shared<Handlers>();
      if (!server) server.emplace(pipe_path);
      if (!creator) creator.emplace(*server);

      if (!listening) {
        std::size_t running = 0;
        {
          std::lock_guard lock(sync.mutex);
          running = handlers->running;
        }
        // While handlers hold instances the name is already ours.
        auto created = creator->create(running > 0 ? platform::InstanceKind::another : platform::InstanceKind::first);
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
      if (!connected) {
        // The failed instance listens again; a fresh one replaces it when it can be
        // made. Out of resources for a connection is a creation failure in disguise;
        // any other failure (a client that came and went at once) is retried at once.
        auto next = creator->create(platform::InstanceKind::another);
        if (next) listening = std::move(*next);
        if (!next || connected.error() == "pipe_create_failed") state->clock().sleep_for(kPipeRetryPause);
        continue;
      }
      holding_client = true;

      bool at_bound = false;
      {
        std::lock_guard lock(sync.mutex);
        at_bound = handlers->running + 1 >= max_handlers;  // only the loop adds handlers
      }
      // Below the bound the next instance is made before the client's is handed
      // over, so the name always has one of ours listening. At the bound the client's
      // instance is the last the limit allows; the loop then waits for a handler's.
      std::optional<platform::PipeInstance> next;
      if (!at_bound) {
        auto made = creator->create(platform::InstanceKind::another);
        // The connected client waits until the next instance exists; then it is handed over.
        while (!made && !gate.is_stopping()) {
          state->clock().sleep_for(kPipeRetryPause);
          made = creator->create(platform::InstanceKind::another);
        }
        if (made) next = std::move(*made);
      }
      platform::PipeInstance client = std::move(*listening);
      listening.reset();
      holding_client = false;
      if (next) listening = std::move(*next);
      {
        // Counted, and the wait announced, before the start: a fast handler may end
        // at once, and its instance must then come back to us.
        std::lock_guard lock(sync.mutex);
        ++handlers->running;
        handlers->loop_waiting = at_bound;
      }
      if (start_handler(state, handlers, limits, client)) {
        start_failed = false;
        if (!at_bound) continue;
        std::unique_lock lock(sync.mutex);
        sync.changed.wait(lock, [&] {
          return handlers->handed_back.has_value() || handlers->running < max_handlers || gate.is_stopping();
        });
        handlers->loop_waiting = false;
        if (handlers->handed_back) listening = std::move(*handlers->handed_back);
        handlers->handed_back.reset();
        continue;
      }
      {
        std::lock_guard lock(sync.mutex);
        --handlers->running;
        handlers->loop_waiting = false;
      }
      // The client sees its connection end without a response. Its instance becomes
      // the listening one when the loop has none (at the bound), and closes otherwise.
      let_go(client);
      if (!listening) listening = std::move(client);
      else client = platform::PipeInstance{};  // closes it
      if (!start_failed) log_quietly("connection handler start failed");
      start_failed = true;
      state->clock().sleep_for(kPipeRetryPause);
    } catch (...) {
      // Out of memory somewhere in a step (the descriptor, an instance): the client
      // in hand is let go without a response, the listening instance is kept, and
      // the step is tried again after a pause.
      if (holding_client && listening) let_go(*listening);
      try {
        state->clock().sleep_for(kPipeRetryPause);
      } catch (...) {
      }
    }
  }
}

std::size_t running_connection_handlers() { return g_running_handlers.load(); }

void wake_pipe_loop(const std::string& pipe_path) {
  {
    LoopSync& sync = loop_sync();
    std::lock_guard lock(sync.mutex);
    sync.changed.notify_all();
  }
  auto client = platform::open_pipe_client(pipe_path, Duration::zero());
  if (client) client->close();
}

}  // namespace brenmoor
