// The service's data folder against a real unprivileged user: the service runs as
// root, ProgramData lets anybody create a folder (as Windows' does), and every step
// of an attack runs as uid 65534. Whatever the attacker prepares, no file outside the
// service's folders is created, changed or deleted, nothing from a planted journal
// runs, and the service keeps answering.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/engine_session.h"
#include "network/journal.h"
#include "service/log.h"
#include "support/service_world_posix.h"
#include "support/test_support.h"
#include "support/unprivileged_posix.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;

// Everything under `dir` (not following links): name -> content, or "->target" for a link.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const fs::path& p = it->path();
    if (it->is_symlink()) out[p.string()] = "->" + fs::read_symlink(p).string();
    else if (it->is_regular_file()) out[p.string()] = test::read_file(p.string());
    else out[p.string()] = "<dir>";
  }
  return out;
}

// A journal the service would act on, naming what a session on this world's network
// could have changed: recovery of it would change the simulated network.
std::string planted_journal() {
  NetworkState s;
  s.ipv4_servers = {"192.168.1.20"};
  s.tun_interface_index = "40";
  s.ipv4_gateway = "192.168.1.1";
  s.ipv4_interface_index = "12";
  s.dns_snapshot = {"203.0.113.66"};
  s.ipv4_split_routes_installed = true;
  return format_network_journal(kAdapterAlias, s);
}

// Made before the attacker's fork: its steps only make system calls, never allocate.
struct Paths {
  std::string program_data, folder, victim, attacker_file;
  std::string journal = folder + "/brenmoor-network.journal";
  std::string journal_tmp = folder + "/brenmoor-network.journal.tmp";
  std::string log = folder + "/brenmoor-service.log";
  std::string old_log = folder + "/brenmoor-service.old.log";
  std::string victim_log = victim + "/brenmoor-service.log";
  std::string victim_tmp = victim + "/brenmoor-network.journal.tmp";
  std::string planted = planted_journal();
};

// Creates `path` with `text` as the calling user; false when it could not.
bool plant(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

struct AttackRow {
  const char* name;
  const char* tag;  // short: the world's pipe path must fit a socket address
  // As root before the attack (a folder an installer or an earlier version made).
  std::function<void(const Paths&)> as_root;
  // As uid 65534; returns 0 when every step was possible.
  std::function<int(const Paths&)> as_nobody;
  // Extra checks of the folder once the service has run.
  std::function<void(const Paths&)> afterwards;
};

void PrintTo(const AttackRow& row, std::ostream* os) { *os << row.name; }

int fails(bool ok) { return ok ? 0 : 1; }

const AttackRow kRows[] = {
    {"folder_is_a_link_to_another_folder", "atk-link", nullptr,
     [](const Paths& p) { return fails(::symlink(p.victim.c_str(), p.folder.c_str()) == 0); }, nullptr},
    {"user_made_folder_with_a_planted_journal", "atk-user", nullptr,
     [](const Paths& p) { return fails(::mkdir(p.folder.c_str(), 0777) == 0 && plant(p.journal, p.planted)); },
     nullptr},
    {"root_folder_open_to_all_with_a_planted_journal", "atk-open",
     [](const Paths& p) {
       fs::create_directory(p.folder);
       fs::permissions(p.folder, fs::perms::all);
     },
     [](const Paths& p) { return fails(plant(p.journal, p.planted)); },
     [](const Paths& p) {
       struct stat st {};
       ASSERT_EQ(::stat(p.folder.c_str(), &st), 0);
       EXPECT_EQ(st.st_mode & 07777, 0700u) << "our protection is back";
     }},
    {"links_at_every_name", "atk-names",
     [](const Paths& p) {
       fs::create_directory(p.folder);
       fs::permissions(p.folder, fs::perms::all);
     },
     [](const Paths& p) {
       if (!plant(p.attacker_file, p.planted)) return 1;
       int bad = 0;
       bad += ::symlink(p.victim_log.c_str(), p.log.c_str());
       bad += ::symlink(p.victim_log.c_str(), p.old_log.c_str());
       bad += ::symlink(p.victim_tmp.c_str(), p.journal_tmp.c_str());
       bad += ::link(p.attacker_file.c_str(), p.journal.c_str());
       return fails(bad == 0);
     },
     nullptr},
};

class DataFolderAttack : public testing::TestWithParam<AttackRow> {};

// Each row: the attacker prepares, then the service starts, a start fails (its server
// does not resolve), a session starts and stops, and the service stops.
TEST_P(DataFolderAttack, TouchesNothingOutsideRunsNothingPlantedAndKeepsAnswering) {
  if (!test::can_drop_to_nobody()) GTEST_SKIP() << "needs root to drop to uid 65534";
  const AttackRow& row = GetParam();
  test::ServiceWorld world(row.tag);
  test::open_program_data_to_everyone(world.host_root());
  const Paths p{.program_data = world.host_root() + "/ProgramData",
                .folder = world.data_folder(),
                .victim = world.root() + "/victim",
                .attacker_file = world.host_root() + "/ProgramData/attacker-file"};
  // Root's files with the service's names, in a folder the attacker cannot write.
  fs::create_directory(p.victim);
  for (const char* name : {"brenmoor-network.journal", "brenmoor-network.journal.tmp", "brenmoor-service.log"})
    std::ofstream(p.victim + "/" + name) << "root's " << name << "\n";
  if (row.as_root) row.as_root(p);
  ASSERT_EQ(test::run_as_nobody([&] { return row.as_nobody(p); }), 0) << "the attacker's preparation failed";
  const auto victim_before = snapshot(p.victim);
  const std::string attacker_before = fs::exists(p.attacker_file) ? test::read_file(p.attacker_file) : "";

  ASSERT_TRUE(world.start_service());
  EXPECT_EQ(world.status(), "idle");
  EXPECT_TRUE(world.diff_from_initial().exit_code == 0) << "a planted journal ran: " << world.diff_from_initial().out;
  const test::Outcome failed = world.start(60, "does-not-resolve.invalid");
  EXPECT_NE(failed.exit_code, 0) << failed.out;
  const test::Outcome started = world.start();
  EXPECT_EQ(started.exit_code, 0) << started.out;
  EXPECT_EQ(world.ctl({"stop"}).exit_code, 0);
  EXPECT_EQ(world.status(), "idle") << "the service stopped answering";
  world.stop_service();

  EXPECT_EQ(snapshot(p.victim), victim_before);
  if (!attacker_before.empty()) {
    EXPECT_EQ(test::read_file(p.attacker_file), attacker_before);
  }
  EXPECT_EQ(world.diff_from_initial().exit_code, 0) << world.diff_from_initial().out;
  const std::string log = fs::is_symlink(p.folder) ? "" : world.log();
  EXPECT_EQ(log.find("network recovered from journal"), std::string::npos) << log;
  if (row.afterwards) row.afterwards(p);
}

INSTANTIATE_TEST_SUITE_P(Rows, DataFolderAttack, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<AttackRow>& info) { return std::string(info.param.name); });

// A local process whose requests are refused makes the service log one line each: the
// log moves aside at its bound, so the folder never holds much more than two logs.
TEST(DataFolderAttackFlood, RefusedRequestsNeverGrowTheLogPastItsBound) {
  if (!test::can_drop_to_nobody()) GTEST_SKIP() << "needs root to run the service as the world does";
  test::ServiceWorld world("atk-flood");
  test::open_program_data_to_everyone(world.host_root());
  ASSERT_TRUE(world.start_service());
  // A client the service refuses (not the installed one), where the attacker may run it.
  const std::string refused_client = world.host_root() + "/ProgramData/not-the-client";
  fs::copy_file(test::bin_path("brenmoor-ctl"), refused_client);
  fs::permissions(refused_client, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec |
                                      fs::perms::group_read | fs::perms::others_read);
  // Most of the way there already, so a short flood crosses the bound.
  {
    std::ofstream out(world.log_path(), std::ios::app);
    const std::string filler = std::string(79, 'f') + "\n";
    for (auto size = fs::file_size(world.log_path()); size + filler.size() < kLogRotateBytes - 1024; size += filler.size())
      out << filler;
  }
  // The dev host's pipe admits root only (Windows admits Users, whose client is then
  // refused by its image): the flood runs as root from a client the service refuses.
  for (int i = 0; i < 40; ++i) (void)test::run_program(refused_client, {"--json", "status"}, world.env());
  EXPECT_EQ(world.status(), "idle") << "the service stopped answering";
  const std::string old_log = world.data_folder() + "/brenmoor-service.old.log";
  ASSERT_TRUE(fs::exists(old_log)) << "the log was never moved aside";
  EXPECT_LE(fs::file_size(world.log_path()), kLogRotateBytes);
  EXPECT_LE(fs::file_size(old_log), kLogRotateBytes);
  EXPECT_NE(world.log().find("request failed: "), std::string::npos) << world.log();
  world.stop_service();
}

}  // namespace
}  // namespace brenmoor
