// Process entry of brenmoor-service: the Windows service BrenmoorFullDevice, or the
// same body in the foreground with --run-foreground.
#include "engine/engine_session.h"
#include "engine/session_backend.h"
#include "lanes/lane_handlers.h"
#include "network/journal.h"
#include "platform/process_info.h"
#include "service/process_entry.h"

int main() {
  brenmoor::ProcessDependencies deps;
  deps.make_sessions = [] { return brenmoor::make_session_backend(); };
  deps.make_lanes = [] { return brenmoor::make_lane_handlers(); };
  // What a killed or powered-off predecessor left in the network, undone first.
  deps.recover_network = [] {
    (void)brenmoor::recover_network_from_journal(brenmoor::system_command_runner(),
                                                 brenmoor::service_network_journal().path(), brenmoor::kAdapterAlias);
  };
  // The command line as the system holds it (UTF-8 on Windows, unlike argv).
  return brenmoor::process_entry(brenmoor::platform::command_line_args(), deps);
}
