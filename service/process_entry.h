// The program's entry: the command-line switches, the log lines of the start, and
// the choice between exiting at once, the foreground body and the service
// control dispatcher.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/shared_state.h"

namespace brenmoor {

// What the process needs beyond the command line. make_* are called at most once,
// when a body is about to run; what they return lives until the process ends.
struct ProcessDependencies {
  std::function<std::unique_ptr<SessionBackend>()> make_sessions;
  std::function<std::unique_ptr<LaneHandlers>()> make_lanes;
  std::function<void(std::shared_ptr<SharedState>)> bypass_guard;  // may be empty
  std::function<void()> recover_network;                           // may be empty
};

// What brenmoor-service runs with: the real session backend and lane handlers, and
// the bypass route guard (network/bypass_guard.h) as the guard thread's body.
ProcessDependencies shipped_process_dependencies();

// Exact, case-sensitive comparison against every argument, the program path included.
bool has_switch(const std::vector<std::string>& args, std::string_view name);

// Runs the process; returns its exit code. Failures that end the process are written
// to standard error as "Error: {description}" and give 1.
int process_entry(const std::vector<std::string>& args, const ProcessDependencies& deps);

}  // namespace brenmoor
