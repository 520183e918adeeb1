// The Windows conversion from UTF-8 to UTF-16 is strict: an overlong form or an
// encoded surrogate never comes out as the character it pretends to be.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/wide.h"

namespace brenmoor::platform {
namespace {

TEST(WideWin, InvalidSequencesBecomeReplacementCharacters) {
  struct Row {
    const char* name;
    std::string utf8;
    std::wstring utf16;
  };
  const std::vector<Row> rows = {
      {"plain path", "C:\\Program Files\\x", L"C:\\Program Files\\x"},
      {"non-ASCII and a pair", "\xC3\xBC\xF0\x9D\x84\x9E", L"\u00FC\xD834\xDD1E"},
      {"overlong slash is no slash", "a\xC0\xAF" "b", L"a\uFFFD\uFFFDb"},
      {"overlong backslash, three bytes", "\xE0\x81\x9C", L"\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate is no surrogate", "\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},
      {"cut sequence", "\xE2\x82" "a", L"\uFFFDa"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(widen(row.utf8), row.utf16);
  }
  // Valid text survives the round trip unchanged.
  EXPECT_EQ(narrow(widen("a\xC3\xBC\xF0\x9D\x84\x9E")), "a\xC3\xBC\xF0\x9D\x84\x9E");
}

}  // namespace
}  // namespace brenmoor::platform
