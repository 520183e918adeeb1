// Test helper (Windows): watches and drives a service through the service control
// manager, for the service lifecycle test under Wine.
//   th_service_probe_win state NAME                     print "state controls checkpoint waithint"
//   th_service_probe_win wait-state NAME STATE           until the state is reached
//   th_service_probe_win control NAME CODE               ControlService; prints "ok" or the error
//   th_service_probe_win wait-event EVENT                until the named event is set
//   th_service_probe_win stop-observe NAME RELEASE_EVENT
//       sends Stop, records every distinct status until the stop is pending with
//       checkpoint 2, sets RELEASE_EVENT, and records on until SERVICE_STOPPED.
//   th_service_probe_win exit-codes NAME               print "win32-exit-code service-exit-code"
//   th_service_probe_win pid NAME                      print the service's process id
//   th_service_probe_win wait-exit PID                 until that process has ended; prints "exited"
// Every record seen is printed as one line. Gives up after 120 s (exit 5).
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/wide.h"

namespace {

struct Record {
  DWORD state = 0, controls = 0, checkpoint = 0, wait_hint = 0;
  bool operator==(const Record&) const = default;
};

SC_HANDLE open_service(const std::string& name, DWORD access) {
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (scm == nullptr) return nullptr;
  return OpenServiceW(scm, brenmoor::platform::widen(name).c_str(), access);
}

bool query(SC_HANDLE svc, Record& r) {
  SERVICE_STATUS_PROCESS s{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s, &needed)) return false;
  r = {s.dwCurrentState, s.dwControlsAccepted, s.dwCheckPoint, s.dwWaitHint};
  return true;
}

void print(const Record& r) {
  std::printf("%lu %lu %lu %lu\n", r.state, r.controls, r.checkpoint, r.wait_hint);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::thread([] {
    std::this_thread::sleep_for(std::chrono::seconds(120));
    std::fputs("probe gave up\n", stderr);
    std::_Exit(5);
  }).detach();
  if (argc < 3) return 2;
  const std::string cmd = argv[1];
  const std::string name = argv[2];

  if (cmd == "wait-exit") {
    HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(std::strtoul(name.c_str(), nullptr, 10)));
    // A process id that no longer opens has ended (and been released) already.
    if (p == nullptr || WaitForSingleObject(p, INFINITE) == WAIT_OBJECT_0) std::printf("exited\n");
    return 0;
  }
  if (cmd == "wait-event") {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, brenmoor::platform::widen(name).c_str());
    return WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0 ? 0 : 1;
  }

  SC_HANDLE svc = open_service(name, SERVICE_QUERY_STATUS | SERVICE_STOP | SERVICE_INTERROGATE);
  if (svc == nullptr) {
    std::printf("open failed %lu\n", GetLastError());
    return 1;
  }
  Record r;
  if (cmd == "state") {
    if (!query(svc, r)) return 1;
    print(r);
    return 0;
  }
  if (cmd == "wait-state" && argc > 3) {
    const DWORD want = static_cast<DWORD>(std::atoi(argv[3]));
    // Polled: the manager offers no wait for an arbitrary state. The give-up thread bounds it.
    while (!query(svc, r) || r.state != want) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    print(r);
    return 0;
  }
  if (cmd == "exit-codes" || cmd == "pid") {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&s), sizeof s, &needed)) return 1;
    if (cmd == "pid") std::printf("%lu\n", s.dwProcessId);
    else std::printf("%lu %lu\n", s.dwWin32ExitCode, s.dwServiceSpecificExitCode);
    return 0;
  }
  if (cmd == "control" && argc > 3) {
    SERVICE_STATUS s{};
    if (ControlService(svc, static_cast<DWORD>(std::atoi(argv[3])), &s)) {
      std::printf("ok\n");
    } else {
      std::printf("error %lu\n", GetLastError());
    }
    return 0;
  }
  if (cmd == "stop-observe" && argc > 3) {
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, brenmoor::platform::widen(argv[3]).c_str());
    SERVICE_STATUS s{};
    if (!ControlService(svc, SERVICE_CONTROL_STOP, &s)) {
      std::printf("stop failed %lu\n", GetLastError());
      return 1;
    }
    Record last{~0ul, 0, 0, 0};
    bool released = false;
    for (;;) {
      if (query(svc, r) && !(r == last)) {
        print(r);
        last = r;
      }
      if (!released && r.state == SERVICE_STOP_PENDING && r.checkpoint >= 2) {
        SetEvent(release);
        released = true;
      }
      if (r.state == SERVICE_STOPPED) return 0;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return 2;
}
