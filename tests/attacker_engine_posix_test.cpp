// What the service starts, against a real unprivileged user: the service runs as root,
// ProgramData lets anybody create files (as Windows' does), and every step of an attack
// that a local user takes runs as uid 65534. Whatever the attacker prepares, nothing
// outside the service's folders is created or changed, no bypass route goes where a DNS
// answer says it should not, no secret reaches a port the engine no longer holds, and
// the service keeps answering.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "support/service_world_posix.h"
#include "support/test_support.h"
#include "support/unprivileged_posix.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using test::Outcome;
using test::ServiceWorld;

constexpr const char* kSecret = "b1c2d3e4f5a6b1c2d3e4f5a6b1c2d3e4f5a6b1c2d3e4f5a6b1c2d3e4f5a6b1c2";

// Everything under `dir`: name -> content ("<dir>" for folders).
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    out[it->path().string()] = it->is_regular_file() ? test::read_file(it->path().string()) : "<dir>";
  }
  return out;
}

// Writes `text` to `path` as the calling user (the attacker's child: no allocation).
bool write_as_caller(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(fd);
  return ok;
}

// The port a process listens on (its first listening TCP socket on IPv4), from /proc.
int listening_port(pid_t pid) {
  std::map<std::string, int> ports;  // socket inode -> port
  std::ifstream tcp("/proc/net/tcp");
  std::string line;
  std::getline(tcp, line);
  while (std::getline(tcp, line)) {
    std::istringstream in(line);
    std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
    in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
    if (state == "0A") ports[inode] = std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
  }
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (ec || !target.starts_with("socket:[")) continue;
    auto it = ports.find(target.substr(8, target.size() - 9));
    if (it != ports.end()) return it->second;
  }
  return -1;
}

struct World {
  ServiceWorld& service;
  std::string victim;          // root's folder outside the service's folders
  std::string attacker_file;   // a file the attacker may write, in ProgramData
};

struct AttackRow {
  const char* name;
  // The attack: what the attacker prepares (as uid 65534 where a user would), what the
  // service is asked, and the row's own invariant.
  std::function<void(World&)> attack;
};

void PrintTo(const AttackRow& row, std::ostream* os) { *os << row.name; }

// The sample configuration with the world's server, and a log section of the request's.
std::string config_with_log(const ServiceWorld& world, const std::string& log) {
  std::string config = test::read_file(world.config_path());
  const auto brace = config.find('{');
  return config.insert(brace + 1, "\"log\":" + log + ",");
}

const AttackRow kRows[] = {
    // The engine runs as root (SYSTEM) and opens the log files its configuration names.
    {"start_naming_log_files_outside_the_service_folders",
     [](World& w) {
       const std::string config =
           config_with_log(w.service, R"({"loglevel":"debug","access":")" + w.victim + R"(/access.log","error":")" +
                                          w.victim + R"(/cron.d"})");
       ASSERT_EQ(test::run_as_nobody([&] { return write_as_caller(w.attacker_file, config) ? 0 : 1; }), 0);
       const Outcome started = w.service.ctl({"start", "--config", w.attacker_file, "--server", test::kWorldServer});
       EXPECT_NE(started.exit_code, 0) << started.out;
       EXPECT_EQ(test::json_field(started.out, "error"), "config_log_invalid") << started.out;
       EXPECT_EQ(w.service.engines_running(), 0) << "an engine was started with the configuration";
     }},
    // A DNS answer (here from the host root's hosts file) names the tunnel's DNS server
    // and loopback beside the real server: only the real one becomes a bypass route.
    {"dns_answer_with_the_tunnel_dns_server_and_loopback",
     [](World& w) {
       const std::string etc = w.service.host_root() + "/Windows/System32/drivers/etc";
       fs::create_directories(etc);
       std::ofstream(etc + "/hosts") << "1.1.1.1 vpn.attacker.example\n127.0.0.1 vpn.attacker.example\n"
                                     << "203.0.113.77 vpn.attacker.example\n"
                                     << "1.1.1.1 only-bad.attacker.example\n127.0.0.1 only-bad.attacker.example\n";
       w.service.write_config("vpn.attacker.example");
       const Outcome started = w.service.start(60, "vpn.attacker.example");
       ASSERT_EQ(started.exit_code, 0) << started.out;
       const std::string during = w.service.netsim({"dump"}).out;
       EXPECT_NE(during.find("route 12 203.0.113.77/32 via 192.168.1.1"), std::string::npos) << during;
       EXPECT_EQ(during.find("1.1.1.1/32"), std::string::npos) << "DNS would bypass the tunnel:\n" << during;
       EXPECT_EQ(during.find("127.0.0.1/32"), std::string::npos) << during;
       EXPECT_EQ(w.service.ctl({"stop"}).exit_code, 0);
       w.service.write_config("only-bad.attacker.example");
       const Outcome refused = w.service.start(60, "only-bad.attacker.example");
       EXPECT_EQ(test::json_field(refused.out, "error"), "server_resolution_failed") << refused.out;
       w.service.write_config(test::kWorldServer);
     }},
    // The engine ends; before the watchdog notices, the attacker binds its port and
    // waits for what the service sends there: lane requests and the stop must send
    // nothing (no control token, no datagram auth).
    {"engine_gone_and_its_port_bound_by_the_attacker",
     [](World& w) {
       const Outcome started = w.service.start();
       ASSERT_EQ(started.exit_code, 0) << started.out;
       const auto engines = test::processes_of(w.service.engine_path());
       ASSERT_EQ(engines.size(), 1u);
       const int port = listening_port(engines[0]);
       ASSERT_GT(port, 0);
       ASSERT_EQ(::kill(engines[0], SIGKILL), 0);
       ASSERT_TRUE(test::within(test::kWorldWaitBound, [&] { return w.service.engines_running() == 0; }));

       int bound[2], done[2];
       ASSERT_EQ(::pipe(bound), 0);
       ASSERT_EQ(::pipe(done), 0);
       int received = -1;
       std::thread listener([&] {
         received = test::run_as_nobody([&] {
           const int s = ::socket(AF_INET, SOCK_STREAM, 0);
           sockaddr_in a{};
           a.sin_family = AF_INET;
           a.sin_port = htons(static_cast<std::uint16_t>(port));
           a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
           // As any attacker would: the engine's closed connections leave TIME_WAIT behind.
           const int one = 1;
           if (s < 0 || ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 16) != 0) return 2;
           (void)::write(bound[1], "b", 1);
           pollfd p[2] = {{s, POLLIN, 0}, {done[0], POLLIN, 0}};
           if (::poll(p, 2, 60000) <= 0) return 3;
           // Whatever the service sent before it said it was done is queued by now.
           pollfd q{s, POLLIN, 0};
           return ::poll(&q, 1, 0) > 0 ? 1 : 0;
         });
       });
       char c = 0;
       pollfd ready{bound[0], POLLIN, 0};
       const bool listening = ::poll(&ready, 1, 30000) == 1 && ::read(bound[0], &c, 1) == 1;
       if (listening) {
         for (const std::vector<std::string>& request :
              {std::vector<std::string>{"datagram", "auth", "--auth", "attacker-wants-this",
                                        "--node-public-key", kSecret},
               std::vector<std::string>{"datagram", "status"}, std::vector<std::string>{"carrier", "status"},
               std::vector<std::string>{"stop"}}) {
           const Outcome answer = w.service.ctl(request);
           const std::string error = test::json_field(answer.out, "error");
           if (request[0] != "stop") {
             // The watchdog may have ended the session first; either way nothing is sent.
             EXPECT_TRUE(error.ends_with("engine_connect_failed") || error == "session_inactive") << answer.out;
           }
         }
       }
       (void)::write(done[1], "d", 1);
       listener.join();
       for (int fd : {bound[0], bound[1], done[0], done[1]}) ::close(fd);
       ASSERT_TRUE(listening) << "the attacker could not bind the engine's port";
       EXPECT_EQ(received, 0) << "the attacker's listener was sent a request (1) or failed (" << received << ")";
     }},
};

class EngineAttack : public testing::TestWithParam<AttackRow> {};

TEST_P(EngineAttack, NothingOutsideChangesNoSecretLeavesAndTheServiceKeepsAnswering) {
  if (!test::can_drop_to_nobody()) GTEST_SKIP() << "needs root to drop to uid 65534";
  const AttackRow& row = GetParam();
  ServiceWorld service("atk-engine");  // short: the pipe is a Unix socket path
  test::open_program_data_to_everyone(service.host_root());
  World w{service, service.root() + "/victim", service.host_root() + "/ProgramData/attacker-file"};
  fs::create_directory(w.victim);
  std::ofstream(w.victim + "/root-file") << "root's file\n";
  const auto victim_before = snapshot(w.victim);
  ASSERT_TRUE(service.start_service());

  row.attack(w);

  EXPECT_TRUE(test::within(test::kWorldWaitBound, [&] { return service.status() == "idle"; }))
      << "the service stopped answering, or a session was left";
  service.stop_service();
  EXPECT_EQ(snapshot(w.victim), victim_before);
  EXPECT_EQ(service.engines_running(), 0);
  const Outcome diff = service.diff_from_initial();
  EXPECT_EQ(diff.exit_code, 0) << diff.out;
}

INSTANTIATE_TEST_SUITE_P(Rows, EngineAttack, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<AttackRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brenmoor
