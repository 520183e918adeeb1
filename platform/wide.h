// UTF-8 <-> UTF-16 for the Windows backends. Only *_win.cpp files include this.
#pragma once
#ifndef _WIN32
#error "Windows-only header"
#endif

#include <string>
#include <string_view>

namespace brenmoor::platform {
// Invalid UTF-8 (overlong forms, encoded surrogates, values above U+10FFFF, stray or
// missing continuation bytes): each maximal invalid subpart becomes U+FFFD.
std::wstring widen(std::string_view utf8);
// Unpaired surrogates become U+FFFD.
std::string narrow(std::wstring_view utf16);
}  // namespace brenmoor::platform
