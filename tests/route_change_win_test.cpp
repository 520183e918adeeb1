// The Windows route change watch: what it keeps of a registration's answer, and one
// live registration (under Wine 8 both calls are stubs that hand back no handle:
// the watch must then be inactive and its destruction cancel nothing).
#include <gtest/gtest.h>

#include "platform/route_change.h"
#include "platform/route_change_win.h"

namespace brenmoor::platform {
namespace {

bool running_under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(RouteChangeWin, RegistrationAnswers) {
  HANDLE some = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x1234));
  struct Row {
    const char* name;
    DWORD status;
    HANDLE handle;
    HANDLE kept;
  };
  const Row rows[] = {
      {"registered", NO_ERROR, some, some},
      {"wine_stub_no_handle", NO_ERROR, nullptr, nullptr},
      {"failed", ERROR_NOT_SUPPORTED, nullptr, nullptr},
      {"failed_with_garbage_handle", ERROR_INVALID_PARAMETER, some, nullptr},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(notification_handle_from_result(r.status, r.handle), r.kept);
  }
}

TEST(RouteChangeWin, LiveRegistration) {
  bool called = false;
  {
    auto watch = RouteChangeWatch::start([&] { called = true; });
    if (running_under_wine()) {
      EXPECT_FALSE(watch.active()) << "Wine's stubs hand back no handle: no notifications";
    } else {
      EXPECT_TRUE(watch.active());
    }
  }  // cancelled here; only handles the system gave
  EXPECT_FALSE(RouteChangeWatch::start({}).active());
  (void)called;
}

}  // namespace
}  // namespace brenmoor::platform
