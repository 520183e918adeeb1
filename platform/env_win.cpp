#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include <vector>

#include "platform/env.h"
#include "platform/wide.h"

namespace brenmoor::platform {
std::optional<std::string> get_env(const char* name) {
  std::wstring wname = widen(name);
  DWORD n = GetEnvironmentVariableW(wname.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::vector<wchar_t> buf(n);
  DWORD got = GetEnvironmentVariableW(wname.c_str(), buf.data(), n);
  if (got == 0 || got >= n) return got == 0 ? std::optional<std::string>(std::string()) : std::nullopt;
  std::wstring_view v(buf.data(), got);
  for (std::size_t i = 0; i < v.size(); ++i) {  // unpaired surrogates: not valid Unicode
    wchar_t c = v[i];
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= v.size() || v[i + 1] < 0xDC00 || v[i + 1] > 0xDFFF) return std::nullopt;
      ++i;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return std::nullopt;
    }
  }
  return narrow(v);
}
}  // namespace brenmoor::platform
