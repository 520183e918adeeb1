// The diagnostic client's command line, as an operator types it: the real brenmoor-ctl
// against a pipe nobody serves, so every row ends before or at the connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/service_world_posix.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

struct CtlCase {
  const char* name;
  std::vector<std::string> args;
  int exit_code;
  const char* says;  // in standard error (standard output for --help)
  bool usage;        // the usage text follows
};

TEST(CtlCommandLine, ParsesLikeATool) {
  const std::string dir = test::make_temp_dir("ctl");
  const std::string pipe = dir + "/no-such-pipe";
  const std::vector<CtlCase> rows = {
      {"option before the command", {"--json", "status"}, 3, "error: the brenmoor service is not running", false},
      {"option after the command", {"status", "--json"}, 3, "error: the brenmoor service is not running", false},
      {"extra argument", {"stop", "extra-arg"}, 2, "brenmoor-ctl: unexpected argument extra-arg", true},
      {"option of another command", {"status", "--lease", "5"}, 2, "brenmoor-ctl: unknown option --lease for status",
       true},
      {"unknown command", {"frobnicate"}, 2, "brenmoor-ctl: unknown command frobnicate", true},
      {"lane without operation", {"carrier"}, 2, "brenmoor-ctl: carrier needs an operation", true},
      {"missing config file",
       {"start", "--config", dir + "/nonexist.json", "--server", "5.180.20.10"},
       2,
       "error: cannot read " /* path */,
       false},
      {"config is a folder", {"start", "--config", dir, "--server", "5.180.20.10"}, 2, "Is a directory", false},
      {"unreadable token file", {"--token-file", dir + "/no-token", "stop"}, 2,
       "No such file or directory (start a session first, or pass --token)", false},
      {"help anywhere", {"status", "--help"}, 0, "usage: brenmoor-ctl", false},
  };
  for (const CtlCase& c : rows) {
    std::vector<std::string> args = {"--pipe", pipe};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const test::Outcome r = test::run_program(test::bin_path("brenmoor-ctl"), args, {{"BRENMOOR_CTL_TOKEN_FILE", ""}});
    EXPECT_EQ(r.exit_code, c.exit_code) << c.name << "\n" << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.name << "\n" << r.out;
    if (c.exit_code != 0) {
      EXPECT_EQ(r.out.find("usage:") != std::string::npos, c.usage) << c.name << "\n" << r.out;
    }
  }
  const test::Outcome missing = test::run_program(
      test::bin_path("brenmoor-ctl"), {"start", "--config", dir + "/nonexist.json", "--server", "x"}, {});
  EXPECT_NE(missing.out.find("error: cannot read " + dir + "/nonexist.json: No such file or directory\n"),
            std::string::npos)
      << missing.out;
}

}  // namespace
}  // namespace brenmoor
