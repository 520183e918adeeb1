// The data folder on Windows: the descriptor check over descriptors the system
// parsed, the protection put back on an old folder, and renames and deletes made
// through the file's own handle.
#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/data_folder.h"
#include "platform/folder_descriptor_win.h"
#include "platform/wide.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;

struct Descriptor {
  PSECURITY_DESCRIPTOR sd = nullptr;
  explicit Descriptor(std::string_view sddl) {
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(platform::widen(sddl).c_str(), SDDL_REVISION_1,
                                                                     &sd, nullptr))
        << sddl;
  }
  ~Descriptor() { LocalFree(sd); }
};

struct DescriptorCase {
  const char* name;
  const char* sddl;
  bool others_write;
  bool ours;
};

// The earlier version's folder, what an installer inherits from ProgramData, and the
// rights that each let a user plant, delete or re-permission something.
TEST(DataFolderDescriptorWin, OnlySystemAndAdministratorsMayChangeTheFolder) {
  const DescriptorCase cases[] = {
      {"ours", "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, true},
      {"ours_other_order", "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", false, true},
      {"earlier_users_read", "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false, false},
      {"not_protected", "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false, false},
      {"users_create_files", "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100004;;;BU)", true, false},
      {"program_data_inherited", "D:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;0x1200a9;;;BU)(A;CIID;DCLCRPCR;;;BU)"
       "(A;OICIIOID;GA;;;CO)", true, false},
      {"users_write_dac", "D:P(A;OICI;FA;;;SY)(A;;WD;;;BU)", true, false},
      {"users_add_file", "D:P(A;OICI;FA;;;SY)(A;;DC;;;BU)", true, false},
      {"users_delete_child", "D:P(A;OICI;FA;;;SY)(A;;0x40;;;BU)", true, false},
      {"users_read_only", "D:P(A;OICI;FA;;;SY)(A;OICI;FR;;;BU)", false, false},
      {"everyone_generic_write", "D:P(A;OICI;FA;;;SY)(A;;GW;;;WD)", true, false},
      {"inherit_only_write_for_users", "D:P(A;OICI;FA;;;SY)(A;OICIIO;FW;;;BU)", true, false},
      {"deny_users_only", "D:P(A;OICI;FA;;;SY)(D;;FA;;;BU)", false, false},
  };
  for (const auto& c : cases) {
    Descriptor d(c.sddl);
    ASSERT_NE(d.sd, nullptr) << c.name;
    EXPECT_EQ(platform::descriptor_lets_others_write(d.sd), c.others_write) << c.name;
    EXPECT_EQ(platform::descriptor_is_ours(d.sd), c.ours) << c.name;
  }
  // A missing DACL lets everybody do everything (built by hand: Wine parses
  // "D:NO_ACCESS_CONTROL" into an empty DACL, which is the opposite).
  SECURITY_DESCRIPTOR null_dacl{};
  ASSERT_TRUE(InitializeSecurityDescriptor(&null_dacl, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&null_dacl, TRUE, nullptr, FALSE));
  EXPECT_TRUE(platform::descriptor_lets_others_write(&null_dacl));
  EXPECT_FALSE(platform::descriptor_is_ours(&null_dacl));
}

// The trustees of the folder's allow entries as the system reports them (Wine adds
// entries of its own for the Unix owner, so an exact match is not asked for).
std::vector<std::string> allowed_trustees(const std::string& path) {
  std::vector<std::string> out;
  PSECURITY_DESCRIPTOR sd = nullptr;
  PACL dacl = nullptr;
  if (GetNamedSecurityInfoW(platform::widen(path).c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            &dacl, nullptr, &sd) != ERROR_SUCCESS)
    return out;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!GetAce(dacl, i, &raw) || static_cast<ACE_HEADER*>(raw)->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    LPWSTR text = nullptr;
    ConvertSidToStringSidW(reinterpret_cast<PSID>(&static_cast<ACCESS_ALLOWED_ACE*>(raw)->SidStart), &text);
    out.push_back(text ? platform::narrow(text) : std::string());
    LocalFree(text);
  }
  LocalFree(sd);
  return out;
}

bool has(const std::vector<std::string>& list, const char* sid) {
  return std::find(list.begin(), list.end(), sid) != list.end();
}

// An earlier version's folder (Users may read) and one that lets Users create files
// both get our descriptor back before anything in them is used.
TEST(DataFolderWin, AnOldFoldersDescriptorIsPutBack) {
  const std::string root = test::make_temp_dir("data-folder-put-back");
  for (const char* old : {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
                          "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;BU)"}) {
    const std::string folder = root + "\\Pellamy-" + std::to_string(std::hash<std::string>{}(old) % 1000);
    Descriptor d(old);
    SECURITY_ATTRIBUTES sa{sizeof sa, d.sd, FALSE};
    ASSERT_TRUE(CreateDirectoryW(platform::widen(folder).c_str(), &sa)) << old;
    if (!has(allowed_trustees(folder), "S-1-5-32-545"))
      GTEST_SKIP() << "this system does not keep the descriptor a folder is made with (Wine 8): "
                      "docs/windows-checklist.md, data folder, step 3";
    auto dir = platform::DataFolder::open(folder, platform::FolderOpen::existing);
    ASSERT_TRUE(dir.has_value()) << dir.error();
    const auto after = allowed_trustees(folder);
    EXPECT_FALSE(has(after, "S-1-5-32-545")) << old;
    EXPECT_TRUE(has(after, "S-1-5-18")) << old;
    EXPECT_TRUE(has(after, "S-1-5-32-544")) << old;
  }
}

TEST(DataFolderWin, RenamesAndDeletesThroughTheFilesHandle) {
  const std::string folder = test::make_temp_dir("data-folder-handles") + "\\Pellamy";
  auto dir = platform::DataFolder::open(folder, platform::FolderOpen::create);
  ASSERT_TRUE(dir.has_value()) << dir.error();
  ASSERT_TRUE(dir->replace("j", "first"));
  ASSERT_TRUE(dir->replace("j", "second"));
  EXPECT_EQ(dir->read("j", 100).value(), "second");
  EXPECT_FALSE(fs::exists(folder + "\\j.tmp"));

  { std::ofstream(folder + "\\j.tmp") << "stale"; }
  ASSERT_TRUE(dir->replace("j", "third"));
  EXPECT_EQ(test::read_file(folder + "\\j"), "third");

  { std::ofstream(folder + "\\old") << "older"; }
  ASSERT_TRUE(dir->rename("j", "old"));
  EXPECT_FALSE(fs::exists(folder + "\\j"));
  EXPECT_EQ(test::read_file(folder + "\\old"), "third");
  EXPECT_EQ(dir->rename("j", "old").error(), platform::kFileMissing);

  ASSERT_TRUE(dir->remove("old"));
  EXPECT_FALSE(fs::exists(folder + "\\old"));
  ASSERT_TRUE(dir->remove("old"));  // missing is fine
  EXPECT_EQ(dir->read("old", 100).error(), platform::kFileMissing);

  // Names that would leave the folder are never used.
  EXPECT_FALSE(dir->remove("..\\x"));
  EXPECT_FALSE(dir->rename("old", "..\\old"));
}

}  // namespace
}  // namespace brenmoor
