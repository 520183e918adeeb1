#include "service/process_entry.h"

#include <cstdio>

#include "service/log.h"
#include "service/service_body.h"

namespace brenmoor {
namespace {

void print_error_line(const std::string& text) {
  std::fputs(text.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

// The collaborators live as long as the process: detached threads (handlers, the
// watchdog) may still reach them while the process ends. They are deliberately
// never destroyed.
ServiceCollaborators process_collaborators(const ProcessDependencies& deps) {
  static SessionBackend* sessions = deps.make_sessions().release();
  static LaneHandlers* lanes = deps.make_lanes().release();
  return ServiceCollaborators{*sessions, *lanes, system_clock()};
}

}  // namespace

bool has_switch(const std::vector<std::string>& args, std::string_view name) {
  for (const std::string& a : args)
    if (a == name) return true;
  return false;
}

int process_entry(const std::vector<std::string>& args, const ProcessDependencies& deps) {
  // Before anything else: no log line, no thread, no registration.
  if (has_switch(args, "--self-test")) return 0;

  write_log_line("process entry");
  ServiceOptions options;
  options.bypass_guard = deps.bypass_guard;
  options.recover_network = deps.recover_network;

  if (has_switch(args, "--run-foreground")) {
    write_log_line("foreground mode");
    if (auto s = run_foreground(process_collaborators(deps), options); !s) {
      print_error_line("Error: the service body failed: " + s.error());
      return 1;
    }
    return 0;
  }

  write_log_line("registering service dispatcher");
  auto dispatched = platform::run_service_dispatcher(kServiceName, [&](platform::ServiceManagerLink& link) {
    write_log_line("service main entered");
    if (auto s = run_service(link, process_collaborators(deps), options); !s) {
      write_log_line("service failed: " + s.error());
      print_error_line("service failed: " + s.error());
      report_failed_stop(link, s.error());
    }
  });
  if (!dispatched) {
    print_error_line("Error: the service control dispatcher could not be started (" + dispatched.error() +
                     "); the service manager starts this program, or use --run-foreground");
    return 1;
  }
  return 0;
}

}  // namespace brenmoor
