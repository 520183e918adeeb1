#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>
#include <shellapi.h>

#include "platform/process_info.h"
#include "platform/wide.h"

namespace brenmoor::platform {

std::optional<std::string> current_executable_path() {
  // GetModuleFileNameW truncates silently; grow until the path fits (long paths).
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::nullopt;
    if (n < buf.size()) {
      buf.resize(n);
      return narrow(buf);
    }
    if (buf.size() >= 32768 * 2) return std::nullopt;
    buf.resize(buf.size() * 2);
  }
}

std::vector<std::string> command_line_args() {
  std::vector<std::string> out;
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return out;
  for (int i = 0; i < argc; ++i) out.push_back(narrow(argv[i]));
  LocalFree(argv);
  return out;
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::GetCurrentProcessId()); }

}  // namespace brenmoor::platform
