// The dev host's refusals that do not depend on Windows: symbolic links in place of
// the private folder or its file, a FIFO, a foreign owner; and the log going silent
// rather than writing through any of them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/fs.h"
#include "platform/paths.h"
#include "service/log.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using platform::PrivateWrite;

std::string open_error(const std::string& folder, const std::string& name, PrivateWrite mode) {
  auto f = platform::open_private_file(folder, name, mode);
  return f ? std::string("opened") : f.error();
}

TEST(PrivateFolderPosix, SymbolicLinksArePointedAtButNeverFollowed) {
  const std::string root = test::make_temp_dir("private-links");
  const std::string other = root + "/other";
  fs::create_directory(other);

  // The folder itself is a link to another folder.
  fs::create_directory_symlink(other, root + "/LinkedFolder");
  EXPECT_EQ(platform::prepare_private_folder(root + "/LinkedFolder").error(), platform::kPrivateFolderUnsafe);
  EXPECT_EQ(open_error(root + "/LinkedFolder", "f.log", PrivateWrite::append), platform::kPrivateFolderUnsafe);
  EXPECT_TRUE(fs::is_empty(other));

  // The file is a link: to an existing file, or dangling (it would be created).
  const std::string folder = root + "/Pellamy";
  ASSERT_TRUE(platform::prepare_private_folder(folder));
  { std::ofstream(other + "/target") << "precious"; }
  fs::create_symlink(other + "/target", folder + "/to-file.log");
  fs::create_symlink(other + "/missing", folder + "/dangling.log");
  for (PrivateWrite mode : {PrivateWrite::append, PrivateWrite::replace}) {
    EXPECT_EQ(open_error(folder, "to-file.log", mode), platform::kPrivateFileUnsafe);
    EXPECT_EQ(open_error(folder, "dangling.log", mode), platform::kPrivateFileUnsafe);
  }
  EXPECT_EQ(test::read_file(other + "/target"), "precious");
  EXPECT_FALSE(fs::exists(other + "/missing"));
}

TEST(PrivateFolderPosix, FifoAndForeignOwnerAreRefused) {
  const std::string root = test::make_temp_dir("private-odd");
  const std::string folder = root + "/Pellamy";
  ASSERT_TRUE(platform::prepare_private_folder(folder));
  // Nobody reads this FIFO: a blocking open would hang the service for good.
  ASSERT_EQ(::mkfifo((folder + "/fifo.log").c_str(), 0600), 0);
  EXPECT_EQ(open_error(folder, "fifo.log", PrivateWrite::append), platform::kPrivateFileUnsafe);

  if (::geteuid() != 0) GTEST_SKIP() << "handing a file to another owner needs root";
  const std::string foreign_file = folder + "/foreign.log";
  { std::ofstream(foreign_file) << "theirs"; }
  ASSERT_EQ(::chown(foreign_file.c_str(), 65534, 65534), 0);
  EXPECT_EQ(open_error(folder, "foreign.log", PrivateWrite::append), platform::kPrivateFileUnsafe);
  EXPECT_EQ(test::read_file(foreign_file), "theirs");

  const std::string foreign_folder = root + "/Theirs";
  fs::create_directory(foreign_folder);
  ASSERT_EQ(::chown(foreign_folder.c_str(), 65534, 65534), 0);
  EXPECT_EQ(platform::prepare_private_folder(foreign_folder).error(), platform::kPrivateFolderUnsafe);
  EXPECT_EQ(open_error(foreign_folder, "f.log", PrivateWrite::append), platform::kPrivateFolderUnsafe);
  EXPECT_TRUE(fs::is_empty(foreign_folder));
}

TEST(ServiceLogPosix, NeverWritesThroughALinkedFolderOrFile) {
  const std::string dir = platform::program_data_dir();
  const std::string elsewhere = test::make_temp_dir("log-elsewhere");
  fs::remove_all(dir);
  fs::create_directories(fs::path(dir).parent_path());

  fs::create_directory_symlink(elsewhere, dir);
  write_log_line("through a linked folder");
  EXPECT_TRUE(fs::is_empty(elsewhere));
  fs::remove(dir);

  fs::create_directory(dir);
  { std::ofstream(elsewhere + "/victim") << "precious"; }
  fs::create_symlink(elsewhere + "/victim", log_file_path());
  write_log_line("through a linked file");
  EXPECT_EQ(test::read_file(elsewhere + "/victim"), "precious");
  fs::remove(log_file_path());

  fs::create_hard_link(elsewhere + "/victim", log_file_path());
  write_log_line("through a hard link");
  EXPECT_EQ(test::read_file(elsewhere + "/victim"), "precious");
  fs::remove(log_file_path());

  write_log_line("back to normal");
  EXPECT_TRUE(test::read_file(log_file_path()).ends_with(" back to normal\n"));
}

}  // namespace
}  // namespace brenmoor
