#include "engine/session_backend.h"
#include "lanes/lane_handlers.h"
#include "network/bypass_guard.h"
#include "service/process_entry.h"

namespace brenmoor {

ProcessDependencies shipped_process_dependencies() {
  ProcessDependencies deps;
  deps.make_sessions = [] { return make_session_backend(); };
  deps.make_lanes = [] { return make_lane_handlers(); };
  deps.bypass_guard = [](std::shared_ptr<SharedState> state) { run_bypass_route_guard(*state); };
  return deps;
}

}  // namespace brenmoor
