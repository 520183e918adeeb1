// The strict UTF-8 decoder that the validity check, the lossy decoding and the
// Windows conversion to UTF-16 all share.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/utf8.h"

namespace brenmoor {
namespace {

struct Case {
  const char* name;
  std::string bytes;
  std::u32string decoded;  // U+FFFD for each maximal invalid subpart
};

const std::vector<Case>& cases() {
  static const std::vector<Case> rows = {
      {"ascii", "a/b", U"a/b"},
      {"two, three and four bytes", "\xC3\xBC\xE2\x82\xAC\xF0\x9D\x84\x9E", U"\u00FC\u20AC\U0001D11E"},
      {"largest scalar", "\xF4\x8F\xBF\xBF", U"\U0010FFFF"},
      {"overlong slash, two bytes", "a\xC0\xAF" "b", U"a\uFFFD\uFFFDb"},
      {"overlong slash, three bytes", "\xE0\x80\xAF", U"\uFFFD\uFFFD\uFFFD"},
      {"overlong, four bytes", "\xF0\x80\x80\xAF", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"encoded high surrogate", "\xED\xA0\x80", U"\uFFFD\uFFFD\uFFFD"},
      {"encoded low surrogate", "\xED\xBF\xBF", U"\uFFFD\uFFFD\uFFFD"},
      {"above U+10FFFF", "\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"stray continuation", "\x80" "a", U"\uFFFDa"},
      {"cut sequence is one subpart", "\xE2\x82" "a", U"\uFFFDa"},
      {"cut at the end", "a\xF0\x9D\x84", U"a\uFFFD"},
      {"not a lead byte", "\xFF\xFE", U"\uFFFD\uFFFD"},
  };
  return rows;
}

std::u32string decode_all(std::string_view s) {
  std::u32string out;
  std::size_t i = 0;
  while (i < s.size()) {
    char32_t cp = 0;
    std::size_t invalid = 0;
    const std::size_t n = utf8_decode_at(s, i, cp, invalid);
    out.push_back(n != 0 ? cp : U'\uFFFD');
    EXPECT_GE(n != 0 ? n : invalid, 1u);
    i += n != 0 ? n : invalid;
  }
  return out;
}

TEST(Utf8, StrictDecodingTable) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_all(c.bytes), c.decoded);
    const bool valid = c.decoded.find(U'\uFFFD') == std::u32string::npos;
    EXPECT_EQ(is_valid_utf8(c.bytes), valid);
    if (valid) {
      EXPECT_EQ(utf8_lossy(c.bytes), c.bytes);
    }
  }
}

}  // namespace
}  // namespace brenmoor
