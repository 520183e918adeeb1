// The link between the service and its service manager.
//
// Windows: the service control manager (StartServiceCtrlDispatcherW,
// RegisterServiceCtrlHandlerExW, SetServiceStatus).
// Dev host: the systemd notify protocol. The "dispatcher" exists only when
// $NOTIFY_SOCKET is set; status reports become notify datagrams; SIGTERM and SIGINT
// are the Stop control, taken by a thread of their own (sigwait on a signal set that
// is blocked in every thread; nothing runs in a signal handler).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "common/error.h"

namespace brenmoor::platform {

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceStopped = 1;
inline constexpr std::uint32_t kServiceStopPending = 3;
inline constexpr std::uint32_t kServiceRunning = 4;
inline constexpr std::uint32_t kAcceptStopAndShutdown = 5;  // SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN

inline constexpr std::uint32_t kControlStop = 1;
inline constexpr std::uint32_t kControlInterrogate = 4;
inline constexpr std::uint32_t kControlShutdown = 5;

inline constexpr std::uint32_t kNoError = 0;
inline constexpr std::uint32_t kErrorCallNotImplemented = 120;
inline constexpr std::uint32_t kErrorServiceSpecificError = 1066;

// One SetServiceStatus record. No process id is given. The exit codes stay 0 except
// in the stopped record of a service that failed: Win32 code
// ERROR_SERVICE_SPECIFIC_ERROR and the service's own code beside it.
struct ServiceStatusRecord {
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t checkpoint = 0;
  std::uint32_t wait_hint_ms = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_exit_code = 0;
  friend bool operator==(const ServiceStatusRecord&, const ServiceStatusRecord&) = default;
};

// Takes a control code, returns a Win32 error code. Runs on the manager's thread
// (Windows: the dispatcher's handler thread; dev host: the signal thread).
using ServiceControlHandler = std::function<std::uint32_t(std::uint32_t control)>;

// What the service body uses of its manager; tests implement it themselves.
class ServiceManagerLink {
 public:
  virtual ~ServiceManagerLink() = default;
  // The handler stays registered until the process ends. Failure: a code.
  [[nodiscard]] virtual Status register_control_handler(ServiceControlHandler handler) = 0;
  // Failure: a code carrying the system error.
  [[nodiscard]] virtual Status report_status(const ServiceStatusRecord& status) = 0;
};

// Starts the service control dispatcher with the one service `name` and blocks until
// it returns. service_main runs on the dispatcher's service thread with the link to
// use; its arguments from the manager are not passed on (the service ignores them).
// Failure ("service_dispatcher_failed:{detail}"): the dispatcher could not be
// reached, e.g. a start from a console, or on the dev host no $NOTIFY_SOCKET; on the
// dev host also when service_main ended without reporting SERVICE_STOPPED, or
// reported it with an exit code (the Windows dispatcher returns normally then; the
// code is what the manager shows).
[[nodiscard]] Status run_service_dispatcher(std::string_view name,
                                            const std::function<void(ServiceManagerLink&)>& service_main);

// The notify datagram a status record becomes on the dev host (exposed for tests).
std::string notify_message(const ServiceStatusRecord& status);

}  // namespace brenmoor::platform
