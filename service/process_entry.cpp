#include "service/process_entry.h"

#include <cstdio>
#include <memory>

#include "control/pipe_access.h"
#include "platform/process_info.h"
#include "service/log.h"
#include "service/service_body.h"
#include "service/version.h"

namespace brenmoor {
namespace {

void print_line(std::FILE* to, const std::string& text) {
  std::fputs(text.c_str(), to);
  std::fputc('\n', to);
  std::fflush(to);
}
void print_error_line(const std::string& text) { print_line(stderr, text); }

std::string usage_text() {
  return "usage: brenmoor-service [--run-foreground] [--allowed-sid SID] [--self-test] [--version] [--help]\n"
         "The privileged network service of the Pellamy VPN client, the Windows service " +
         std::string(kServiceName) +
         ".\nWithout --run-foreground it must be started by the service control manager.\n"
         "  --run-foreground    serve the control pipe from this console until stopped\n"
         "  --allowed-sid SID   also let this user or group read and write the control pipe\n"
         "  --self-test         exit 0 at once, doing nothing\n"
         "  --version           print the version and exit\n"
         "  --help              print this text and exit\n"
         "Control pipe: " +
         platform::control_pipe_path() + "\nLog: " + log_file_path();
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

  if (has_switch(args, "--help")) {
    print_line(stdout, usage_text());
    return 0;
  }
  if (has_switch(args, "--version")) {
    print_line(stdout, "brenmoor-service " + std::string(service_version()));
    return 0;
  }

  write_log_line("process entry");
  write_log_line("version " + std::string(service_version()) + " pid " + std::to_string(platform::current_process_id()));
  const bool foreground = has_switch(args, "--run-foreground");
  // The pipe stays closed to all but SYSTEM and Administrators; the operator learns why
  // the app they meant to admit is refused.
  if (auto why = allowed_sid_rejection(args)) {
    write_log_line("allowed sid ignored: " + *why);
    if (foreground) print_error_line("allowed sid ignored: " + *why);
  }
  ServiceOptions options;
  options.bypass_guard = deps.bypass_guard;
  options.recover_network = deps.recover_network;

  if (foreground) {
    write_log_line("foreground mode");
    // Once, when the first instance listens: from then on clients are served.
    options.on_pipe_ready = [said = std::make_shared<bool>(false), pipe = options.pipe_path] {
      if (*said) return;
      *said = true;
      print_line(stdout, "serving on " + pipe);
    };
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
