#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include <memory>
#include <string>

#include "platform/service_host.h"
#include "platform/wide.h"

namespace brenmoor::platform {
namespace {

static_assert(kErrorServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR);

// The dispatcher calls back through plain function pointers, so what they need
// lives here for the life of the process.
std::wstring g_service_name;
const std::function<void(ServiceManagerLink&)>* g_service_main = nullptr;

DWORD WINAPI control_handler_ex(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/, LPVOID context) {
  return static_cast<ServiceControlHandler*>(context)->operator()(control);
}

class ScmLink final : public ServiceManagerLink {
 public:
  Status register_control_handler(ServiceControlHandler handler) override {
    // The manager may call the handler until the process ends: never freed.
    auto* stored = new ServiceControlHandler(std::move(handler));
    SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerExW(g_service_name.c_str(), control_handler_ex, stored);
    if (h == nullptr) {
      const DWORD err = GetLastError();
      delete stored;
      return fail("control_handler_registration_failed:" + std::to_string(err));
    }
    status_handle_ = h;
    return {};
  }

  Status report_status(const ServiceStatusRecord& record) override {
    if (status_handle_ == nullptr) return fail("status_report_failed:" + std::to_string(ERROR_INVALID_HANDLE));
    SERVICE_STATUS s{};
    s.dwServiceType = kServiceWin32OwnProcess;
    s.dwCurrentState = record.current_state;
    s.dwControlsAccepted = record.controls_accepted;
    s.dwWin32ExitCode = record.win32_exit_code;
    s.dwServiceSpecificExitCode = record.service_exit_code;
    s.dwCheckPoint = record.checkpoint;
    s.dwWaitHint = record.wait_hint_ms;
    if (!SetServiceStatus(status_handle_, &s)) return fail("status_report_failed:" + std::to_string(GetLastError()));
    return {};
  }

 private:
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;
};

void WINAPI service_main(DWORD /*argc*/, LPWSTR* /*argv*/) {
  ScmLink link;
  (*g_service_main)(link);
}

}  // namespace

Status run_service_dispatcher(std::string_view name, const std::function<void(ServiceManagerLink&)>& main_fn) {
  g_service_name = widen(name);
  g_service_main = &main_fn;
  SERVICE_TABLE_ENTRYW table[] = {{g_service_name.data(), service_main}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table))
    return fail("service_dispatcher_failed:" + std::to_string(GetLastError()));
  return {};
}

}  // namespace brenmoor::platform
