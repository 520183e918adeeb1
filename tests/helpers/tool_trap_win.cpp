// Test helper (Windows): a planted copy of a system tool (route.exe, netsh.exe or
// powershell.exe) in a place the service must never run it from. When run, it
// appends its command line to a marker file beside itself ("{own path}.ran") and
// fails, so a test only has to look for markers.
#include <windows.h>

#include <string>

int main() {
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, static_cast<DWORD>(std::size(self)));
  if (n == 0 || n >= std::size(self)) return 3;
  const std::wstring marker = std::wstring(self, n) + L".ran";
  HANDLE f = CreateFileW(marker.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f != INVALID_HANDLE_VALUE) {
    const std::wstring line = std::wstring(GetCommandLineW()) + L"\r\n";
    DWORD written = 0;
    WriteFile(f, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(f);
  }
  return 1;
}
