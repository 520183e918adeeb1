#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "control/identity.h"

namespace brenmoor {
namespace {

TEST(ClientIdentity, NameAndLocationRules) {
  struct Row {
    const char* name;
    PathStyle style;
    std::string image;
    std::optional<std::string> program_files;
    bool accepted;
  };
  const auto W = PathStyle::windows;
  const auto P = PathStyle::posix;
  const std::string pf = "C:\\Program Files";
  const std::vector<Row> rows = {
      {"installed client", W, "C:\\Program Files\\Pellamy\\brenmoor-win.exe", pf, true},
      {"second accepted name", W, "C:\\Program Files\\Pellamy\\pellamy.exe", pf, true},
      {"upper-case name", W, "C:\\Program Files\\Pellamy\\BRENMOOR-WIN.EXE", pf, true},
      {"mixed-case name", W, "C:\\Program Files\\Pellamy\\PeLLamy.Exe", pf, true},
      {"directly in Program Files", W, "C:\\Program Files\\brenmoor-win.exe", pf, true},
      {"long-path prefix", W, "\\\\?\\C:\\Program Files\\Pellamy\\brenmoor-win.exe", pf, true},
      {"NT prefix", W, "\\??\\C:\\Program Files\\Pellamy\\brenmoor-win.exe", pf, true},
      {"drive letter case", W, "c:\\Program Files\\Pellamy\\brenmoor-win.exe", pf, true},
      {"drive letter case in the variable", W, "C:\\Program Files\\x\\pellamy.exe", std::string("c:\\Program Files"), true},
      {"variable with trailing separator", W, "C:\\Program Files\\x\\pellamy.exe", std::string("C:\\Program Files\\"), true},
      {"forward slashes", W, "C:/Program Files/Pellamy/brenmoor-win.exe", pf, true},
      {"doubled separator", W, "C:\\Program Files\\\\Pellamy\\brenmoor-win.exe", pf, true},
      {"other name", W, "C:\\Program Files\\Pellamy\\brenmoor.exe", pf, false},
      {"name as a prefix", W, "C:\\Program Files\\Pellamy\\brenmoor-win.exe.bak", pf, false},
      {"non-ASCII case is not folded", W, "C:\\Program Files\\Pellamy\\PELLAMY.EXE\xC3\xA9", pf, false},
      {"outside", W, "C:\\Users\\eve\\brenmoor-win.exe", pf, false},
      {"partial component", W, "C:\\Program Files (x86)\\Pellamy\\brenmoor-win.exe", pf, false},
      {"partial component, no space", W, "C:\\Program FilesX\\brenmoor-win.exe", pf, false},
      {"component case is exact", W, "C:\\program files\\Pellamy\\brenmoor-win.exe", pf, false},
      {"other drive", W, "D:\\Program Files\\Pellamy\\brenmoor-win.exe", pf, false},
      {"climbing out", W, "C:\\Program Files\\..\\Users\\eve\\brenmoor-win.exe", pf, false},
      {"UNC path", W, "\\\\host\\share\\Program Files\\brenmoor-win.exe", pf, false},
      {"UNC base matches UNC path", W, "\\\\host\\share\\apps\\pellamy.exe", std::string("\\\\host\\share"), true},
      {"no ProgramFiles", W, "C:\\Program Files\\Pellamy\\brenmoor-win.exe", std::nullopt, false},
      {"empty ProgramFiles", W, "C:\\Program Files\\Pellamy\\brenmoor-win.exe", std::string(), false},
      {"relative ProgramFiles", W, "C:\\Program Files\\Pellamy\\brenmoor-win.exe", std::string("Program Files"), false},
      {"image is the directory", W, "C:\\Program Files", pf, false},
      {"image ends in ..", W, "C:\\Program Files\\brenmoor-win.exe\\..", pf, false},
      {"dev host installed", P, "/opt/pf/Pellamy/brenmoor-win.exe", std::string("/opt/pf"), true},
      {"dev host upper case", P, "/opt/pf/Pellamy/BRENMOOR-WIN.EXE", std::string("/opt/pf"), true},
      {"dev host outside", P, "/tmp/brenmoor-win.exe", std::string("/opt/pf"), false},
      {"dev host partial", P, "/opt/pfx/brenmoor-win.exe", std::string("/opt/pf"), false},
      {"dev host backslash is a character", P, "/opt/pf/x\\brenmoor-win.exe", std::string("/opt/pf"), false},
      {"dev host has no prefixes to strip", P, "\\\\?\\/opt/pf/brenmoor-win.exe", std::string("/opt/pf"), false},
      {"dev host deleted binary", P, "/opt/pf/brenmoor-win.exe (deleted)", std::string("/opt/pf"), false},
  };
  for (const Row& r : rows) {
    auto s = verify_client_image(r.image, r.program_files, r.style);
    EXPECT_EQ(s.has_value(), r.accepted) << r.name;
    if (!s) {
      EXPECT_EQ(s.error(), "client_identity_unverified") << r.name;
    }
  }
}

}  // namespace
}  // namespace brenmoor
