#include <gtest/gtest.h>

#include <set>

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

}  // namespace
}  // namespace brenmoor
