// Process entry of brenmoor-service: the Windows service BrenmoorFullDevice, or the
// same body in the foreground with --run-foreground.
#include "platform/process_info.h"
#include "service/process_entry.h"

int main() {
  // The command line as the system holds it (UTF-8 on Windows, unlike argv).
  return brenmoor::process_entry(brenmoor::platform::command_line_args(), brenmoor::shipped_process_dependencies());
}
