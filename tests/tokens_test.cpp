#include <gtest/gtest.h>

#include <set>

#include "common/secret.h"
#include "engine/tokens.h"

namespace brenmoor {
namespace {

TEST(Tokens, FormatSetsVersionAndVariant) {
  std::array<std::uint8_t, 16> ones{};
  ones.fill(0xFF);
  EXPECT_EQ(format_uuid_v4(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  std::array<std::uint8_t, 16> zeros{};
  EXPECT_EQ(format_uuid_v4(zeros), "00000000-0000-4000-8000-000000000000");
}

TEST(Tokens, RandomTokensAreWellFormedAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    auto t = make_token();
    ASSERT_TRUE(t.has_value());
    ASSERT_EQ(t->size(), 36u);
    EXPECT_EQ((*t)[14], '4');
    EXPECT_NE(std::string("89ab").find((*t)[19]), std::string::npos);
    for (char c : *t) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '-');
    seen.insert(*t);
  }
  EXPECT_EQ(seen.size(), 64u);
}

// The token comparison visits every byte; what it answers must still be plain equality.
TEST(Tokens, ConstantTimeComparisonIsEquality) {
  const std::string token = "4b6f1f0a-3c2e-4d5f-8a9b-0c1d2e3f4a5b";
  struct Row {
    std::string given;
    bool equal;
  } rows[] = {
      {token, true},
      {"5" + token.substr(1), false},                 // first byte
      {token.substr(0, 35) + "c", false},             // last byte
      {token.substr(0, 35), false},                   // a prefix
      {token + "0", false},                           // longer
      {token.substr(0, 35) + std::string(1, '\0'), false},
      {"", false},
  };
  for (const auto& r : rows) EXPECT_EQ(equal_in_constant_time(r.given, token), r.equal) << r.given;
  EXPECT_TRUE(equal_in_constant_time("", ""));
  EXPECT_FALSE(equal_in_constant_time("\xFF", std::string(1, '\0')));
}

}  // namespace
}  // namespace brenmoor
