// The crash-recovery journal: its text, the strict reader, the durable write with
// its refusal of links, the record-first points of the bring-up, and recovery.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "network/journal.h"
#include "network/routes.h"
#include "network/tun_network.h"
#include "network_fakes.h"
#include "platform/durable_file.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
constexpr std::string_view kAlias = "Brenmoor Device Path";

NetworkState full_state() {
  NetworkState s;
  s.ipv4_servers = {"203.0.113.5", "203.0.113.6"};
  s.ipv6_servers = {"2001:db8::5"};
  s.tun_interface_index = "15";
  s.ipv4_gateway = "192.168.1.1";
  s.ipv4_interface_index = "12";
  s.ipv6_gateway = "fe80::1";
  s.ipv6_interface_index = "12";
  s.dns_snapshot = {"192.168.1.1", "9.9.9.9"};
  s.bypass_routes = {{false, "203.0.113.5", "10.0.0.1", "7"}, {true, "2001:db8::5", "fe80::2", "7"}};
  s.ipv4_split_routes_installed = true;
  return s;
}

// Just created by the bring-up: no IPv6 path, nothing recorded yet.
NetworkState fresh_state() {
  NetworkState s;
  s.tun_interface_index = "15";
  s.ipv4_gateway = "192.168.1.1";
  s.ipv4_interface_index = "12";
  return s;
}

std::string journal_dir() {
  static int n = 0;
  return test::make_temp_dir("journal" + std::to_string(++n));
}

void write(const std::string& path, std::string_view text) { std::ofstream(path, std::ios::binary) << text; }

TEST(NetworkJournalFormat, WritesOneLinePerFieldAndAnEndLine) {
  EXPECT_EQ(format_network_journal(kAlias, full_state()),
            "brenmoor network journal 1\n"
            "alias Brenmoor Device Path\n"
            "tun_interface_index 15\n"
            "ipv4_gateway 192.168.1.1\n"
            "ipv4_interface_index 12\n"
            "ipv6_gateway fe80::1\n"
            "ipv6_interface_index 12\n"
            "ipv4_split_routes_installed 1\n"
            "ipv4_server 203.0.113.5\n"
            "ipv4_server 203.0.113.6\n"
            "ipv6_server 2001:db8::5\n"
            "dns 192.168.1.1\n"
            "dns 9.9.9.9\n"
            "bypass_route ipv4 203.0.113.5 10.0.0.1 7\n"
            "bypass_route ipv6 2001:db8::5 fe80::2 7\n"
            "end\n");
}

TEST(NetworkJournalFormat, EveryStateTheServiceWritesReadsBackEqual) {
  NetworkState empty_lists = full_state();
  empty_lists.ipv4_servers.clear();
  empty_lists.ipv6_servers.clear();
  empty_lists.dns_snapshot.clear();
  empty_lists.bypass_routes.clear();
  for (const NetworkState& s : {full_state(), fresh_state(), empty_lists}) {
    auto back = parse_network_journal(format_network_journal(kAlias, s), kAlias);
    ASSERT_TRUE(back.has_value()) << back.error() << "\n" << format_network_journal(kAlias, s);
    EXPECT_EQ(back->state, s);
    EXPECT_EQ(back->alias, kAlias);
  }
}

struct HostileCase {
  const char* name;
  const char* from;  // replaced in the text of full_state()
  std::string_view to;
  const char* code;
};

class HostileJournal : public testing::TestWithParam<HostileCase> {};

// Hand-edited or corrupted journals: nothing the service would not write itself
// gets through, above all nothing that could reach a command line as syntax.
TEST_P(HostileJournal, IsRejectedNamingTheField) {
  const HostileCase& c = GetParam();
  std::string text = format_network_journal(kAlias, full_state());
  const std::size_t at = text.find(c.from);
  ASSERT_NE(at, std::string::npos) << c.from;
  text.replace(at, std::strlen(c.from), c.to);
  auto r = parse_network_journal(text, kAlias);
  ASSERT_FALSE(r.has_value()) << text;
  EXPECT_EQ(r.error(), std::string("journal_malformed:") + c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileJournal,
    testing::Values(
        HostileCase{"other_alias", "alias Brenmoor Device Path", "alias Ethernet", "alias"},
        HostileCase{"alias_with_quote", "alias Brenmoor Device Path", "alias Brenmoor' ; Remove-Item C:\\ ; '", "alias"},
        HostileCase{"alias_with_cr", "alias Brenmoor Device Path", "alias Brenmoor Device Path\r", "alias"},
        HostileCase{"server_with_separator", "ipv4_server 203.0.113.6", "ipv4_server 203.0.113.6 & calc", "ipv4_server"},
        HostileCase{"server_with_quote", "ipv4_server 203.0.113.6", "ipv4_server 203.0.113.6'", "ipv4_server"},
        HostileCase{"ipv6_server_in_ipv4_list", "ipv4_server 203.0.113.6", "ipv4_server 2001:db8::6", "ipv4_server"},
        HostileCase{"gateway_with_semicolon", "ipv4_gateway 192.168.1.1", "ipv4_gateway 192.168.1.1;reboot", "ipv4_gateway"},
        HostileCase{"zoned_ipv6_gateway", "ipv6_gateway fe80::1", "ipv6_gateway fe80::1%12", "ipv6_gateway"},
        HostileCase{"index_not_digits", "tun_interface_index 15", "tun_interface_index 15|x", "tun_interface_index"},
        HostileCase{"index_leading_zero", "ipv4_interface_index 12", "ipv4_interface_index 012", "ipv4_interface_index"},
        HostileCase{"index_too_large", "tun_interface_index 15", "tun_interface_index 4294967296", "tun_interface_index"},
        HostileCase{"half_ipv6_path", "ipv6_interface_index 12", "ipv6_interface_index ", "ipv6_path"},
        HostileCase{"dns_not_ipv4", "dns 9.9.9.9", "dns 9.9.9.9 index=1", "dns"},
        HostileCase{"flag_not_bool", "ipv4_split_routes_installed 1", "ipv4_split_routes_installed yes",
                    "ipv4_split_routes_installed"},
        HostileCase{"bypass_family_mismatch", "bypass_route ipv4 203.0.113.5", "bypass_route ipv6 203.0.113.5",
                    "bypass_route"},
        HostileCase{"bypass_extra_field", "fe80::2 7", "fe80::2 7 store=persistent", "bypass_route"},
        HostileCase{"fields_out_of_order", "ipv4_server 203.0.113.5\n", "dns 1.0.0.1\nipv4_server 203.0.113.5\n", "end"},
        HostileCase{"unknown_key", "dns 9.9.9.9\n", "dns 9.9.9.9\ntoken abc\n", "end"},
        HostileCase{"unspecified_ipv4_gateway", "ipv4_gateway 192.168.1.1", "ipv4_gateway 0.0.0.0", "ipv4_gateway"},
        HostileCase{"unspecified_ipv6_gateway", "ipv6_gateway fe80::1", "ipv6_gateway ::", "ipv6_gateway"},
        HostileCase{"broadcast_server", "ipv4_server 203.0.113.6", "ipv4_server 255.255.255.255", "ipv4_server"},
        HostileCase{"multicast_server", "ipv4_server 203.0.113.6", "ipv4_server 224.0.0.251", "ipv4_server"},
        HostileCase{"loopback_server", "ipv4_server 203.0.113.6", "ipv4_server 127.0.0.1", "ipv4_server"},
        HostileCase{"multicast_ipv6_server", "ipv6_server 2001:db8::5", "ipv6_server ff02::1", "ipv6_server"},
        HostileCase{"loopback_dns", "dns 9.9.9.9", "dns 127.0.0.1", "dns"},
        HostileCase{"upper_case_ipv6", "ipv6_server 2001:db8::5", "ipv6_server 2001:DB8::5", "ipv6_server"},
        HostileCase{"uncompressed_ipv6", "ipv6_server 2001:db8::5", "ipv6_server 2001:db8:0:0:0:0:0:5", "ipv6_server"},
        HostileCase{"ipv4_leading_zero", "ipv4_gateway 192.168.1.1", "ipv4_gateway 192.168.1.01", "ipv4_gateway"},
        HostileCase{"tun_index_is_physical", "tun_interface_index 15", "tun_interface_index 12", "tun_interface_index"},
        HostileCase{"bypass_to_a_lan_host", "bypass_route ipv4 203.0.113.5", "bypass_route ipv4 192.168.1.20",
                    "bypass_route"},
        HostileCase{"bypass_via_tun", "10.0.0.1 7", "10.0.0.1 15", "bypass_route"},
        HostileCase{"bypass_twice", "bypass_route ipv4 203.0.113.5 10.0.0.1 7\n",
                    "bypass_route ipv4 203.0.113.5 10.0.0.1 7\nbypass_route ipv4 203.0.113.5 10.0.0.1 7\n",
                    "bypass_route"},
        HostileCase{"other_version", "journal 1", "journal 2", "header"},
        HostileCase{"crlf_lines", "journal 1\n", "journal 1\r\n", "header"},
        HostileCase{"nul_in_value", "ipv4_server 203.0.113.6", std::string_view("ipv4_server 203.0.113.6\0", 24),
                    "ipv4_server"},
        HostileCase{"text_after_end", "end\n", "end\nend\n", "trailing"}),
    [](const testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

TEST(NetworkJournalFormat, IPv6ServersWithoutAnIPv6PathAndOverlongListsAreRejected) {
  NetworkState s = fresh_state();
  s.ipv6_servers = {"2001:db8::5"};
  EXPECT_EQ(parse_network_journal(format_network_journal(kAlias, s), kAlias).error(), "journal_malformed:ipv6_server");
  NetworkState many = fresh_state();
  many.dns_snapshot.assign(kJournalDnsLimit + 1, "9.9.9.9");
  EXPECT_EQ(parse_network_journal(format_network_journal(kAlias, many), kAlias).error(), "journal_malformed:dns");
}

// The states a long session builds: up to the server limits, the bring-up's paths, and
// a guard that moved every server's routes across new networks until its ledger is
// full (recording the route on each new path and the superseded one on the old). Every
// one reads back equal, within the size limit; the largest is built last.
TEST(NetworkJournalFormat, EveryStateAGuardedSessionBuildsRoundTrips) {
  std::mt19937 rng(20261211);
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n)(rng); };
  auto ipv4 = [&](std::size_t i) {
    return "203.0." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250 + 1);
  };
  auto ipv6 = [&](std::size_t i) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "2001:db8:%zx::%zx", i / 4096 + 1, i % 4096 + 1);
    return std::string(buf);
  };
  for (int round = 0; round <= 60; ++round) {
    const bool largest = round == 60;
    NetworkState s;
    s.tun_interface_index = std::to_string(4294967295u - pick(3));
    s.ipv4_gateway = "192.168.1.1";
    s.ipv4_interface_index = "12";
    const bool with_ipv6 = largest || pick(1) == 1;
    if (with_ipv6) {
      s.ipv6_gateway = "fe80::1";
      s.ipv6_interface_index = "12";
    }
    const std::size_t v4 = largest ? kJournalServerLimit : pick(kJournalServerLimit);
    const std::size_t v6 = !with_ipv6 ? 0 : largest ? kJournalServerLimit : pick(kJournalServerLimit);
    for (std::size_t i = 0; i < v4; ++i) s.ipv4_servers.push_back(ipv4(i));
    for (std::size_t i = 0; i < v6; ++i) s.ipv6_servers.push_back(ipv6(i));
    const std::size_t dns = largest ? kJournalDnsLimit : pick(kJournalDnsLimit);
    for (std::size_t i = 0; i < dns; ++i) s.dns_snapshot.push_back("10.1.0." + std::to_string(i + 1));
    s.ipv4_split_routes_installed = pick(1) == 1;
    // Each move goes to a new path; moving back to an earlier one records nothing new.
    // The largest state is the guard's full ledger.
    const std::size_t moves = largest ? SIZE_MAX : pick(20);
    for (std::size_t m = 0; m < moves && s.bypass_routes.size() < kBypassLedgerLimit; ++m) {
      const std::string index = std::to_string(100 + m % 7);
      const std::string gw4 = "172.16." + std::to_string(m / 250) + "." + std::to_string(m % 250 + 1);
      char gw6[32];
      std::snprintf(gw6, sizeof gw6, "fe80::%zx", m + 2);
      for (const auto& t : s.ipv4_servers) {
        record_bypass_route(s, {false, t, gw4, index});
        record_bypass_route(s, {false, t, s.ipv4_gateway, s.ipv4_interface_index});
      }
      for (const auto& t : s.ipv6_servers) {
        record_bypass_route(s, {true, t, gw6, index});
        record_bypass_route(s, {true, t, s.ipv6_gateway, s.ipv6_interface_index});
      }
      s.ipv4_gateway = gw4;
      s.ipv4_interface_index = index;
      if (with_ipv6) {
        s.ipv6_gateway = gw6;
        s.ipv6_interface_index = index;
      }
    }
    const std::string text = format_network_journal(kAlias, s);
    EXPECT_LE(text.size(), kJournalSizeLimit) << round;
    auto back = parse_network_journal(text, kAlias);
    ASSERT_TRUE(back.has_value()) << back.error() << " in round " << round;
    EXPECT_EQ(back->state, s) << round;
    if (largest) {
      EXPECT_EQ(s.bypass_routes.size(), kBypassLedgerLimit);
    }
  }
}

// ---- the durable write ----------------------------------------------------------

TEST(DurableFile, ReplacesWholeAndLeavesNoTemporaryFile) {
  const std::string path = journal_dir() + "/j";
  ASSERT_TRUE(platform::replace_file_durably(path, "first"));
  ASSERT_TRUE(platform::replace_file_durably(path, "second"));
  EXPECT_EQ(platform::read_private_file(path, 100).value(), "second");
  EXPECT_FALSE(fs::exists(platform::durable_temp_path(path)));
  // A stale temporary file from a crash between write and move is not in the way.
  write(platform::durable_temp_path(path), "stale");
  ASSERT_TRUE(platform::replace_file_durably(path, "third"));
  EXPECT_EQ(platform::read_private_file(path, 100).value(), "third");
  EXPECT_EQ(platform::read_private_file(path, 4).error(), platform::kFileTooLarge);
  ASSERT_TRUE(platform::remove_file(path));
  ASSERT_TRUE(platform::remove_file(path));  // missing is fine
  EXPECT_EQ(platform::read_private_file(path, 100).error(), platform::kFileMissing);
}

#ifndef _WIN32
// A link planted at the journal's name or at its temporary name must neither
// be written through nor read through.
TEST(DurableFile, RefusesLinksAtTheTargetAndNeverWritesThroughTheTemporaryName) {
  const std::string dir = journal_dir();
  const std::string victim = dir + "/victim";
  write(victim, "precious");

  const std::string symlinked = dir + "/sym";
  fs::create_symlink(victim, symlinked);
  EXPECT_EQ(platform::replace_file_durably(symlinked, "x").error(), platform::kFileUnsafe);
  EXPECT_EQ(platform::read_private_file(symlinked, 100).error(), platform::kFileUnsafe);

  const std::string hard = dir + "/hard";
  fs::create_hard_link(victim, hard);
  EXPECT_EQ(platform::replace_file_durably(hard, "x").error(), platform::kFileUnsafe);
  EXPECT_EQ(platform::read_private_file(hard, 100).error(), platform::kFileUnsafe);

  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(platform::read_private_file(fifo, 100).error(), platform::kFileUnsafe);

  // The temporary name pointing at the victim: removed, not followed.
  const std::string target = dir + "/j";
  fs::create_symlink(victim, platform::durable_temp_path(target));
  ASSERT_TRUE(platform::replace_file_durably(target, "journal"));
  EXPECT_EQ(test::read_file(victim), "precious");
  EXPECT_EQ(test::read_file(target), "journal");
  EXPECT_FALSE(fs::exists(platform::durable_temp_path(target)));
  EXPECT_FALSE(fs::exists(dir + "/sym.tmp"));
  EXPECT_FALSE(fs::exists(dir + "/hard.tmp"));
}
#endif

TEST(NetworkJournal, AFailedWriteIsLoggedOnceAndRemoveStartsAFreshCount) {
  // A file where the folder should be: no write can succeed.
  const std::string dir = journal_dir();
  write(dir + "/not-a-folder", "x");
  NetworkJournal journal(dir + "/not-a-folder/j");
  test::LogMark mark;
  journal.record(kAlias, fresh_state());
  journal.record(kAlias, full_state());
  journal.remove();
  journal.record(kAlias, fresh_state());
  std::size_t failures = 0;
  for (const auto& m : mark.messages()) failures += m.starts_with("network journal write failed: ");
  EXPECT_EQ(failures, 2u);
}

// A state the reader would refuse is not written: the reader and the writer agree.
TEST(NetworkJournal, AStateTheReaderRefusesIsNotWritten) {
  const std::string path = journal_dir() + "/j";
  NetworkJournal journal(path);
  NetworkState s = fresh_state();
  s.ipv4_interface_index = s.tun_interface_index;
  test::LogMark mark;
  journal.record(kAlias, s);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(mark.messages(), std::vector<std::string>{"network journal write failed: journal_malformed:tun_interface_index"});
}

// A stop or a failed bring-up removes only the journal it wrote: one left by an
// earlier run (recovery could not act on it) stays for the next start.
TEST(NetworkJournal, RemovesOnlyAJournalItWrote) {
  const std::string path = journal_dir() + "/j";
  const std::string earlier = format_network_journal(kAlias, full_state());
  write(path, earlier);
  NetworkJournal journal(path);
  journal.remove();
  EXPECT_EQ(test::read_file(path), earlier);
  journal.record(kAlias, fresh_state());
  journal.remove();
  EXPECT_FALSE(fs::exists(path));
  write(path, earlier);
  journal.remove();  // the one it wrote is gone already
  EXPECT_EQ(test::read_file(path), earlier);
}

// ---- record first ---------------------------------------------------------------

// At every command of the bring-up the journal on the disk already names what the
// command changes, and it is never written before the first change.
TEST(NetworkJournal, TheBringUpWritesItBeforeEveryChangeItRecords) {
  const std::string path = journal_dir() + "/j";
  NetworkJournal journal(path);
  test::RecordingRunner runner;
  std::vector<std::optional<NetworkState>> on_disk;
  auto snapshot = [&] {
    auto text = platform::read_private_file(path, kJournalSizeLimit);
    if (!text) return std::optional<NetworkState>();
    auto c = parse_network_journal(*text, kAlias);
    EXPECT_TRUE(c.has_value()) << c.error();
    return c ? std::optional<NetworkState>(c->state) : std::nullopt;
  };
  runner.on_query = [&](std::string_view script) -> Result<std::string> {
    on_disk.push_back(snapshot());
    if (script == default_path_script(IpFamily::ipv4)) return std::string("192.168.1.1,12\r\n");
    if (script == default_path_script(IpFamily::ipv6)) return std::string("fe80::1,12\r\n");
    if (script == adapter_index_script(kAlias)) return std::string("15\r\n");
    return std::string();
  };
  runner.on_run = [&](const NetworkCommand&) -> Status {
    on_disk.push_back(snapshot());
    return {};
  };
  const platform::ResolvedAddress resolved[] = {{false, "203.0.113.5"}, {true, "2001:db8::5"}};
  auto resolve = [&](std::string_view) -> Result<std::vector<platform::ResolvedAddress>> {
    return std::vector<platform::ResolvedAddress>(std::begin(resolved), std::end(resolved));
  };
  auto state = configure_tun_network(runner, kAlias, "vpn.example.net", {"192.168.1.1"}, resolve, &journal);
  ASSERT_TRUE(state.has_value()) << state.error();
  ASSERT_EQ(on_disk.size(), runner.calls.size());

  for (std::size_t i = 0; i < runner.calls.size(); ++i) {
    const NetworkCommand& c = runner.calls[i];
    if (c.program == "query") {
      EXPECT_FALSE(on_disk[i].has_value()) << "journal written before the first change, at call " << i;
      continue;
    }
    ASSERT_TRUE(on_disk[i].has_value()) << "no journal at change " << i;
    const NetworkState& s = *on_disk[i];
    EXPECT_EQ(s.tun_interface_index, "15");
    EXPECT_EQ(s.dns_snapshot, std::vector<std::string>{"192.168.1.1"});
    const bool v4_add = c.program == "route" && c.args[0] == "ADD" && c.args[1] == "203.0.113.5";
    const bool v6_add = c.program == "netsh" && c.args.size() > 4 && c.args[2] == "add" && c.args[4] == "2001:db8::5/128";
    const bool split = c.program == "route" && c.args[0] == "ADD" && c.args[1] == "0.0.0.0";
    if (v4_add) {
      EXPECT_EQ(s.ipv4_servers, std::vector<std::string>{"203.0.113.5"});
    }
    if (v6_add) {
      EXPECT_EQ(s.ipv6_servers, std::vector<std::string>{"2001:db8::5"});
    }
    if (split) {
      EXPECT_TRUE(s.ipv4_split_routes_installed);
    }
  }
  EXPECT_EQ(snapshot(), *state);
}

// ---- recovery -------------------------------------------------------------------

TEST(NetworkRecovery, TearsDownWhatTheJournalNamesThenRemovesIt) {
  const std::string path = journal_dir() + "/j";
  NetworkJournal journal(path);
  journal.record(kAlias, full_state());
  test::RecordingRunner runner;
  test::LogMark mark;
  EXPECT_EQ(recover_network_from_journal(runner, path, kAlias), RecoveryOutcome::recovered);

  // Exactly the commands a stop's first pass would run: recovery adds no new kind.
  std::vector<NetworkCommand> expected = teardown_commands(full_state(), kAlias, true);
  for (auto& c : dns_restore_commands(full_state().dns_snapshot, kAlias)) expected.push_back(c);
  EXPECT_EQ(runner.calls, expected);
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(mark.messages(),
            std::vector<std::string>{"network recovered from journal: ipv4_servers=203.0.113.5,203.0.113.6 "
                                     "ipv6_servers=2001:db8::5 bypass_routes=2 split_routes=yes "
                                     "dns=192.168.1.1,9.9.9.9 tun_addresses=removed"});
  runner.calls.clear();
  EXPECT_EQ(recover_network_from_journal(runner, path, kAlias), RecoveryOutcome::nothing_to_do);
  EXPECT_TRUE(runner.calls.empty());
}

#ifndef _WIN32
// A folder that is a link (a user made it before the service first ran) is not
// ours: a journal found through it is never acted on, and none is written there.
// (Windows: the Wine run of the log folder shows the same refusal.)
TEST(NetworkRecovery, AJournalBehindALinkedFolderIsNeitherRunNorWritten) {
  const std::string dir = journal_dir();
  fs::create_directory(dir + "/elsewhere");
  fs::create_directory_symlink(dir + "/elsewhere", dir + "/linked");
  const std::string path = dir + "/linked/j";
  write(dir + "/elsewhere/j", format_network_journal(kAlias, full_state()));
  test::RecordingRunner runner;
  test::LogMark mark;
  EXPECT_EQ(recover_network_from_journal(runner, path, kAlias), RecoveryOutcome::left_in_place);
  EXPECT_TRUE(runner.calls.empty());
  EXPECT_EQ(mark.messages(), std::vector<std::string>{"network journal folder refused: private_folder_unsafe"});

  NetworkJournal journal(path);
  fs::remove(dir + "/elsewhere/j");
  journal.record(kAlias, full_state());
  EXPECT_FALSE(fs::exists(dir + "/elsewhere/j"));
}

// Nothing in a folder that fails its checks is deleted or moved: not the temporary
// file at recovery, not the journal at a stop after the folder was swapped for a link.
TEST(NetworkRecovery, NothingBehindALinkedFolderIsDeletedOrMoved) {
  const std::string dir = journal_dir();
  fs::create_directory(dir + "/elsewhere");
  write(dir + "/elsewhere/j.tmp", "theirs");
  write(dir + "/elsewhere/j", "not a journal");
  fs::create_directory_symlink(dir + "/elsewhere", dir + "/linked");
  test::RecordingRunner runner;
  EXPECT_EQ(recover_network_from_journal(runner, dir + "/linked/j", kAlias), RecoveryOutcome::left_in_place);
  EXPECT_EQ(test::read_file(dir + "/elsewhere/j.tmp"), "theirs");
  EXPECT_EQ(test::read_file(dir + "/elsewhere/j"), "not a journal");

  // A session wrote its journal; then the folder was swapped for a link before the stop.
  fs::create_directory(dir + "/ours");
  NetworkJournal journal(dir + "/ours/j");
  journal.record(kAlias, fresh_state());
  ASSERT_TRUE(fs::exists(dir + "/ours/j"));
  fs::rename(dir + "/ours", dir + "/moved");
  fs::create_directory_symlink(dir + "/elsewhere", dir + "/ours");
  journal.remove();
  EXPECT_EQ(test::read_file(dir + "/elsewhere/j"), "not a journal");
}

// A folder of ours gets its protection back (0700) before anything in it is used, and
// a file planted while it was open to others is then refused by its owner.
TEST(NetworkRecovery, AnOpenFolderOfOursIsClosedAndAPlantedJournalRefused) {
  const std::string dir = journal_dir() + "/Pellamy";
  fs::create_directory(dir);
  ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
  write(dir + "/j", format_network_journal(kAlias, full_state()));
  test::RecordingRunner runner;
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown((dir + "/j").c_str(), 65534, 65534), 0);
    EXPECT_EQ(recover_network_from_journal(runner, dir + "/j", kAlias), RecoveryOutcome::set_aside);
    EXPECT_TRUE(runner.calls.empty());
    EXPECT_TRUE(fs::exists(dir + "/j.rejected"));
  } else {
    EXPECT_EQ(recover_network_from_journal(runner, dir + "/j", kAlias), RecoveryOutcome::recovered);
  }
  struct stat st {};
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}
#endif

// A journal cut off at any byte (a disk that lost the end of it, an editor that
// saved half) runs nothing and is set aside for a person.
TEST(NetworkRecovery, AJournalTruncatedAtAnyByteRunsNothingAndIsSetAside) {
  const std::string text = format_network_journal(kAlias, full_state());
  const std::string dir = journal_dir();
  const std::string path = dir + "/j";
  for (std::size_t cut = 0; cut < text.size(); ++cut) {
    write(path, text.substr(0, cut));
    test::RecordingRunner runner;
    test::LogMark mark;
    ASSERT_EQ(recover_network_from_journal(runner, path, kAlias), RecoveryOutcome::set_aside) << cut;
    EXPECT_TRUE(runner.calls.empty()) << cut;
    EXPECT_FALSE(fs::exists(path)) << cut;
    EXPECT_EQ(test::read_file(path + ".rejected"), text.substr(0, cut)) << cut;
    const auto messages = mark.messages();
    ASSERT_EQ(messages.size(), 1u) << cut;
    EXPECT_TRUE(messages[0].starts_with("network journal rejected: journal_malformed:")) << messages[0];
    EXPECT_TRUE(messages[0].ends_with("set aside as " + path + ".rejected")) << messages[0];
  }
}

TEST(NetworkRecovery, HostileValuesAndLinksRunNothing) {
  const std::string dir = journal_dir();
  const std::string path = dir + "/j";
  std::string hostile = format_network_journal(kAlias, full_state());
  hostile.replace(hostile.find("ipv4_server 203.0.113.6"), 23, "ipv4_server 203.0.113.6'; Set-NetRoute");
  for (const std::string& text :
       {hostile, format_network_journal("Ethernet", full_state()), std::string(kJournalSizeLimit + 1, 'x')}) {
    write(path, text);
    test::RecordingRunner runner;
    EXPECT_EQ(recover_network_from_journal(runner, path, kAlias), RecoveryOutcome::set_aside);
    EXPECT_TRUE(runner.calls.empty());
    EXPECT_FALSE(fs::exists(path));
  }
#ifndef _WIN32
  // A valid journal reached through a link is still not ours to act on.
  write(dir + "/elsewhere", format_network_journal(kAlias, full_state()));
  fs::create_symlink(dir + "/elsewhere", path);
  test::RecordingRunner runner;
  test::LogMark mark;
  EXPECT_EQ(recover_network_from_journal(runner, path, kAlias), RecoveryOutcome::set_aside);
  EXPECT_TRUE(runner.calls.empty());
  EXPECT_TRUE(fs::is_symlink(path + ".rejected"));
  EXPECT_TRUE(fs::exists(dir + "/elsewhere"));
  ASSERT_EQ(mark.messages().size(), 1u);
  EXPECT_TRUE(mark.messages()[0].starts_with("network journal rejected: file_unsafe")) << mark.messages()[0];
#endif
}

}  // namespace
}  // namespace brenmoor
