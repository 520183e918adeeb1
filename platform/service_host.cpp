#include "platform/service_host.h"

namespace brenmoor::platform {

std::string notify_message(const ServiceStatusRecord& s) {
  std::string m;
  switch (s.current_state) {
    case kServiceRunning:
      m = "READY=1\nSTATUS=running\n";
      break;
    case kServiceStopPending:
      // The wait hint is the time until the next report: the supervisor's stop
      // timeout is extended by exactly that much.
      m = "STOPPING=1\nEXTEND_TIMEOUT_USEC=" + std::to_string(std::uint64_t{s.wait_hint_ms} * 1000) +
          "\nSTATUS=stop pending, checkpoint " + std::to_string(s.checkpoint) + "\n";
      break;
    case kServiceStopped:
      m = "STATUS=stopped\n";
      break;
    default:
      m = "STATUS=state " + std::to_string(s.current_state) + "\n";
      break;
  }
  // The whole record, for supervisors that want more than systemd's vocabulary.
  m += "X_BRENMOOR_STATE=" + std::to_string(s.current_state) + "\n";
  m += "X_BRENMOOR_CONTROLS_ACCEPTED=" + std::to_string(s.controls_accepted) + "\n";
  m += "X_BRENMOOR_CHECKPOINT=" + std::to_string(s.checkpoint) + "\n";
  m += "X_BRENMOOR_WAIT_HINT_MS=" + std::to_string(s.wait_hint_ms) + "\n";
  if (s.win32_exit_code != 0 || s.service_exit_code != 0) {
    m += "X_BRENMOOR_WIN32_EXIT_CODE=" + std::to_string(s.win32_exit_code) + "\n";
    m += "X_BRENMOOR_SERVICE_EXIT_CODE=" + std::to_string(s.service_exit_code) + "\n";
  }
  return m;
}

}  // namespace brenmoor::platform
