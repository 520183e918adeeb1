#include "engine/engine_session.h"
#include "engine/session_backend.h"
#include "lanes/lane_handlers.h"
#include "network/bypass_guard.h"
#include "network/command_runner.h"
#include "network/journal.h"
#include "platform/route_change.h"
#include "service/process_entry.h"

namespace brenmoor {

namespace {

// Never destroyed, like the clock and the journal: the detached guard may still be
// in a command while the process runs its static destructors on the way out.
CommandRunner& guard_command_runner() {
  static SystemCommandRunner* const runner = new SystemCommandRunner;
  return *runner;
}

}  // namespace

ProcessDependencies shipped_process_dependencies() {
  ProcessDependencies deps;
  deps.make_sessions = [] { return make_session_backend(); };
  deps.make_lanes = [] { return make_lane_handlers(); };
  deps.bypass_guard = [](std::shared_ptr<SharedState> state) {
    // Both live on this thread's stack until the guard ends; the watch's destructor
    // cancels the registration before the signal goes.
    RouteChangeSignal changes;
    const auto watch = platform::RouteChangeWatch::start([&changes] { changes.notify(); });
    run_bypass_route_guard(*state, GuardCollaborators{guard_command_runner(), best_route_to},
                           watch.active() ? &changes : nullptr);
  };
  // What a killed or powered-off predecessor left in the network, undone first.
  deps.recover_network = [] {
    (void)recover_network_from_journal(system_command_runner(), service_network_journal().path(), kAdapterAlias);
  };
  return deps;
}

}  // namespace brenmoor
