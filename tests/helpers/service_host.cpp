// Test helper: the service's process entry with stand-in engine sessions and lanes,
// so the process, its service manager link and its pipe can be driven without an
// engine. Starts hold until the process ends when BRENMOOR_TEST_HOLD_START=1.
#include "platform/env.h"
#include "platform/process_info.h"
#include "service/process_entry.h"
#include "tests/support/fakes.h"

int main() {
  brenmoor::ProcessDependencies deps;
  deps.make_sessions = [] {
    auto sessions = std::make_unique<brenmoor::test::FakeSessions>(brenmoor::system_clock());
    if (brenmoor::platform::get_env("BRENMOOR_TEST_HOLD_START") == "1") sessions->hold_starts();
    return std::unique_ptr<brenmoor::SessionBackend>(std::move(sessions));
  };
  deps.make_lanes = [] { return std::unique_ptr<brenmoor::LaneHandlers>(std::make_unique<brenmoor::test::FakeLanes>()); };
  return brenmoor::process_entry(brenmoor::platform::command_line_args(), deps);
}
