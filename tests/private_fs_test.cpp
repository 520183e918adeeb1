// Private folders and the files in them, as the log (and anything else written
// beside it) uses them: what is written where it is safe, and what is refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/fs.h"
#include "platform/paths.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using platform::PrivateWrite;

void put(const std::string& path, const std::string& text) { std::ofstream(fs::u8path(path), std::ios::binary) << text; }

Status write_private(const std::string& folder, const std::string& name, PrivateWrite mode, const std::string& text) {
  auto f = platform::open_private_file(folder, name, mode);
  if (!f) return std::unexpected(f.error());
  return f->write(text);
}

TEST(PrivateFolder, CreatesTheFolderWithItsParentsAndWritesAppendOrReplace) {
  const std::string folder = platform::join_path(platform::join_path(test::make_temp_dir("private"), "a"), "Pellamy");
  ASSERT_TRUE(platform::prepare_private_folder(folder));
  ASSERT_TRUE(platform::prepare_private_folder(folder)) << "an existing folder of ours is fine";
  const std::string file = platform::join_path(folder, "f.log");
  ASSERT_TRUE(write_private(folder, "f.log", PrivateWrite::append, "one\n"));
  ASSERT_TRUE(write_private(folder, "f.log", PrivateWrite::append, "two\n"));
  EXPECT_EQ(test::read_file(file), "one\ntwo\n");
  ASSERT_TRUE(write_private(folder, "f.log", PrivateWrite::replace, "new"));
  EXPECT_EQ(test::read_file(file), "new");
}

TEST(PrivateFolder, RefusesWhatIsNotAPlainFolderOrFileAndTouchesNothing) {
  const std::string root = test::make_temp_dir("private-refuse");
  const std::string folder = platform::join_path(root, "Pellamy");
  ASSERT_TRUE(platform::prepare_private_folder(folder));

  // A hard link to a file elsewhere: neither appended to nor emptied.
  const std::string target = platform::join_path(root, "elsewhere.txt");
  put(target, "precious");
  fs::create_hard_link(fs::u8path(target), fs::u8path(platform::join_path(folder, "linked.log")));
  for (PrivateWrite mode : {PrivateWrite::append, PrivateWrite::replace}) {
    auto r = write_private(folder, "linked.log", mode, "injected");
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), platform::kPrivateFileUnsafe);
  }
  EXPECT_EQ(test::read_file(target), "precious");

  // A folder where the file should be.
  fs::create_directory(fs::u8path(platform::join_path(folder, "dir.log")));
  EXPECT_EQ(write_private(folder, "dir.log", PrivateWrite::append, "x").error(), platform::kPrivateFileUnsafe);

  // A file where the folder should be.
  const std::string not_folder = platform::join_path(root, "NotAFolder");
  put(not_folder, "plain");
  EXPECT_EQ(platform::prepare_private_folder(not_folder).error(), platform::kPrivateFolderUnsafe);
  EXPECT_EQ(write_private(not_folder, "f.log", PrivateWrite::append, "x").error(), platform::kPrivateFolderUnsafe);
  EXPECT_EQ(test::read_file(not_folder), "plain");
}

}  // namespace
}  // namespace brenmoor
