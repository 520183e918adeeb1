#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include "platform/wide.h"

#include "common/utf8.h"

namespace brenmoor::platform {

std::wstring widen(std::string_view s) {
  std::wstring out;
  out.reserve(s.size());  // never more UTF-16 units than UTF-8 bytes: no reallocation
  std::size_t i = 0;
  while (i < s.size()) {
    // Strictly: an overlong form ("/" as C0 AF) or an encoded surrogate must not
    // come out as the character it pretends to be, or a checked path could change
    // meaning on its way to the system. Each maximal invalid subpart becomes one
    // U+FFFD, as narrow() and utf8_lossy do.
    char32_t cp = 0xFFFD;
    std::size_t invalid = 1;
    const std::size_t len = utf8_decode_at(s, i, cp, invalid);
    if (len == 0) cp = 0xFFFD;
    i += len != 0 ? len : invalid;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<wchar_t>(cp));
    }
  }
  return out;
}

std::string narrow(std::wstring_view w) {
  std::string out;
  out.reserve(w.size());
  for (std::size_t i = 0; i < w.size(); ++i) {
    char32_t cp = static_cast<char16_t>(w[i]);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < w.size() &&
        static_cast<char16_t>(w[i + 1]) >= 0xDC00 && static_cast<char16_t>(w[i + 1]) <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char16_t>(w[i + 1]) - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) { out.push_back(static_cast<char>(cp)); }
    else if (cp < 0x800) { out.push_back(static_cast<char>(0xC0 | (cp >> 6))); out.push_back(static_cast<char>(0x80 | (cp & 0x3F))); }
    else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace brenmoor::platform
