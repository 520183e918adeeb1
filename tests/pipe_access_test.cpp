#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "control/pipe_access.h"
#include "platform/sddl.h"

namespace brenmoor {
namespace {

const std::string kBase = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
std::string ext(const std::string& sid) { return kBase + "(A;;0x12019b;;;" + sid + ")"; }
const std::string kMaxSid = "S-1-281474976710655-4294967295-4294967295-4294967295-4294967295-4294967295-4294967295-"
                            "4294967295-4294967295-4294967295-4294967295-4294967295-4294967295-4294967295-4294967295-"
                            "4294967295";

TEST(PipeAccess, DescriptorFollowsTheFirstAllowedSidArgument) {
  ASSERT_EQ(kMaxSid.size(), 184u);
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"no switch", {"svc.exe"}, kBase},
      {"well formed", {"svc.exe", "--allowed-sid", "S-1-5-21-1004336348-1177238915-682003330-1001"},
       ext("S-1-5-21-1004336348-1177238915-682003330-1001")},
      {"position does not matter", {"svc.exe", "--run-foreground", "--allowed-sid", "S-1-5-32-545", "x"},
       ext("S-1-5-32-545")},
      {"184 bytes", {"svc.exe", "--allowed-sid", kMaxSid}, ext(kMaxSid)},
      {"185 bytes", {"svc.exe", "--allowed-sid", kMaxSid + "0"}, kBase},
      {"lower-case letter", {"svc.exe", "--allowed-sid", "s-1-5-32-545"}, kBase},
      {"letter inside", {"svc.exe", "--allowed-sid", "S-1-5-32-545a"}, kBase},
      {"switch last has no value", {"svc.exe", "--allowed-sid"}, kBase},
      {"first switch decides", {"svc.exe", "--allowed-sid", "bad", "--allowed-sid", "S-1-5-32-545"}, kBase},
      {"switch as value", {"svc.exe", "--allowed-sid", "--allowed-sid", "S-1-5-32-545"}, kBase},
      {"switch is case-sensitive", {"svc.exe", "--Allowed-Sid", "S-1-5-32-545"}, kBase},
      {"program path counts as an argument", {"--allowed-sid", "S-1-5-18"}, ext("S-1-5-18")},
      // These pass the character rules but no SID parser: the base stays in force
      // instead of every pipe instance failing for ever.
      {"bare prefix", {"svc.exe", "--allowed-sid", "S-"}, kBase},
      {"revision only", {"svc.exe", "--allowed-sid", "S-1"}, kBase},
      {"second S", {"svc.exe", "--allowed-sid", "S-1-5-S-1"}, kBase},
      {"empty part", {"svc.exe", "--allowed-sid", "S-1-5--1"}, kBase},
      {"revision 2", {"svc.exe", "--allowed-sid", "S-2-5-32-545"}, kBase},
      {"sub-authority too big", {"svc.exe", "--allowed-sid", "S-1-5-4294967296"}, kBase},
      {"16 sub-authorities", {"svc.exe", "--allowed-sid", "S-1-5-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1-1"}, kBase},
  };
  for (const Row& r : rows) EXPECT_EQ(pipe_security_descriptor(r.args), r.expected) << r.name;
}

// Whatever falls back to the base descriptor says why; what is used says nothing.
TEST(PipeAccess, AnIgnoredAllowedSidSaysWhy) {
  struct Row {
    std::vector<std::string> args;
    std::optional<std::string> why;
  };
  const std::vector<Row> rows = {
      {{"svc.exe"}, std::nullopt},
      {{"svc.exe", "--allowed-sid", "S-1-5-32-545"}, std::nullopt},
      {{"svc.exe", "--Allowed-Sid", "bogus"}, std::nullopt},
      {{"svc.exe", "--allowed-sid"}, "no value"},
      {{"svc.exe", "--allowed-sid", "S-1-5-21-bogus-x"}, "not a sid: S-1-5-21-bogus-x"},
      {{"svc.exe", "--allowed-sid", "S-1-5-4294967296"}, "not a sid: S-1-5-4294967296"},
      {{"svc.exe", "--allowed-sid", "bad", "--allowed-sid", "S-1-5-32-545"}, "not a sid: bad"},
      // A value that would break the log line, or flood it, is not repeated.
      {{"svc.exe", "--allowed-sid", "S-1\nfake line"}, "not a sid"},
      {{"svc.exe", "--allowed-sid", "S-1 5"}, "not a sid"},
      {{"svc.exe", "--allowed-sid", ""}, "not a sid"},
      {{"svc.exe", "--allowed-sid", kMaxSid + "0"}, "not a sid"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(allowed_sid_rejection(r.args), r.why) << testing::PrintToString(r.args);
    // Said exactly when the base descriptor stays in force though a value was asked for.
    const bool asked = std::find(r.args.begin(), r.args.end(), "--allowed-sid") != r.args.end();
    EXPECT_EQ(r.why.has_value(), asked && pipe_security_descriptor(r.args) == kBase);
  }
}

TEST(PipeAccess, ParsesOnlyTheDescriptorsThePipeLoopWrites) {
  struct Row {
    const char* name;
    std::string sddl;
    std::optional<std::vector<std::string>> expected;
  };
  const std::vector<Row> rows = {
      {"base", kBase, std::vector<std::string>{"SY", "BA"}},
      {"extended", ext("S-1-22-1-1000"), std::vector<std::string>{"SY", "BA", "S-1-22-1-1000"}},
      {"extended, generic all", kBase + "(A;;GA;;;S-1-22-1-1000)", std::vector<std::string>{"SY", "BA", "S-1-22-1-1000"}},
      {"other mask", kBase + "(A;;0x12019f;;;S-1-22-1-1000)", std::nullopt},
      {"mask without entry end", "D:P(A;;0x12019b", std::nullopt},
      {"round trip of the builder", pipe_security_descriptor({"x", "--allowed-sid", kMaxSid}),
       std::vector<std::string>{"SY", "BA", kMaxSid}},
      {"not protected", "D:(A;;GA;;;SY)", std::nullopt},
      {"no entries", "D:P", std::nullopt},
      {"deny entry", "D:P(D;;GA;;;SY)", std::nullopt},
      {"other rights", "D:P(A;;GR;;;SY)", std::nullopt},
      {"unknown alias", "D:P(A;;GA;;;WD)", std::nullopt},
      {"unterminated", "D:P(A;;GA;;;SY", std::nullopt},
      {"trailing text", kBase + "x", std::nullopt},
      {"bad sid", "D:P(A;;GA;;;S-1-)", std::nullopt},
  };
  for (const Row& r : rows) EXPECT_EQ(parse_descriptor_trustees(r.sddl), r.expected) << r.name;
}

TEST(PipeAccess, AllowedSidMayReadAndWriteButNotCreateInstances) {
  EXPECT_EQ(kAllowedSidPipeAccess & kFileCreatePipeInstance, 0u);
  for (std::uint32_t needed : {0x1u /* read data */, 0x2u /* write data */, 0x80u /* read attributes */,
                               0x100u /* write attributes */, 0x100000u /* synchronize */})
    EXPECT_EQ(kAllowedSidPipeAccess & needed, needed) << std::hex << needed;
  EXPECT_EQ(std::stoul(std::string(kAllowedSidPipeRights), nullptr, 16), kAllowedSidPipeAccess);
  // The base entries keep generic all.
  EXPECT_TRUE(pipe_security_descriptor({"x", "--allowed-sid", "S-1-5-32-545"}).starts_with(kBase));
}

}  // namespace
}  // namespace brenmoor
