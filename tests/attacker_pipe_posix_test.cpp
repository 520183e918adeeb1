// A local attacker against the control pipe of the real service: one process of an
// admitted client image opening many connections that announce 8 MiB and send
// nothing, that never read their answer, that trickle a byte a second, or simply
// hold more connections than the service serves at once. Throughout, a well-behaved
// client's status request is answered in time, the service's memory barely grows,
// and once the deadlines pass no connection handler thread is left.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/frame.h"
#include "pipe_test_support.h"
#include "platform/pipe_client.h"
#include "platform/process.h"
#include "support/service_world_posix.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

double seconds_since(MonoTime t) { return std::chrono::duration<double>(MonoClock::now() - t).count(); }

// "VmRSS:" (KiB) or "Threads:" of a process, -1 when it cannot be read.
long proc_status_value(int pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

// The process serving the socket: the peer's credentials of a connection to it.
int server_pid(const std::string& socket_path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socket_path.size() >= sizeof addr.sun_path) return -1;
  std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());
  int pid = -1;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) pid = cred.pid;
  }
  ::close(fd);
  return pid;
}

// The attacker: the test pipe client installed as an admitted image, run with `args`.
class Attacker {
 public:
  Attacker(const std::string& program, const std::string& pipe, std::vector<std::string> args) {
    platform::SpawnOptions o;
    o.program = program;
    args.insert(args.begin(), pipe);
    o.args = std::move(args);
    o.stdout_mode = platform::StdioMode::pipe;
    auto p = platform::spawn_process(o);
    if (!p) {
      ADD_FAILURE() << "attacker: " << p.error();
      return;
    }
    out_ = p->take_stdout();
    process_.emplace(std::move(*p));
  }
  ~Attacker() {
    if (process_) {
      (void)process_->terminate();
      (void)process_->wait();
    }
  }
  // Its first line ("connected N" once all its connections are open).
  std::string first_line() {
    std::string line;
    char buf[64];
    while (line.find('\n') == std::string::npos) {
      auto n = out_.read(buf, sizeof buf);
      if (!n || *n == 0) break;
      line.append(buf, *n);
    }
    return line;
  }

 private:
  std::optional<platform::Process> process_;
  platform::PipeReader out_;
};

// The suite's name keeps it out of the ThreadSanitizer run: its memory and time
// figures are the uninstrumented service's.
struct Row {
  const char* name;
  std::vector<std::string> args;  // th_pipe_client's mode and its arguments
  bool waits_for_line;            // the attacker reports "connected N"
  double answer_within;           // seconds, for the well-behaved client's status
};

TEST(AttackerControlPosix, HostileClientsNeitherStarveNorExhaustTheService) {
  const std::vector<Row> rows = {
      {"100 connections announcing 8 MiB, sending nothing", {"many", "prefix", "100"}, true, 1.0},
      {"100 connections that never read their answer", {"many", "noread", "100"}, true, 1.0},
      {"one byte a second", {"trickle", "1000"}, false, 1.0},
  };

  test::ServiceWorld world("attacker-pipe");
  ASSERT_TRUE(world.start_service());
  const std::string pipe = world.host_root() + "/pipe/brenmoor-full-device";
  // The test pipe client as the other admitted image, next to the installed client.
  const std::string attacker_program =
      test::install_client_copy(world.program_files(), "Pellamy/pellamy.exe");
  const int pid = server_pid(pipe);
  ASSERT_GT(pid, 0);
  const long threads_idle = proc_status_value(pid, "Threads:");
  const long rss_idle = proc_status_value(pid, "VmRSS:");

  double slowest = 0;
  long threads_peak = 0;
  // Two probes: the service's answer timed from this process (which is refused, but
  // only by a handler that reads its request and answers, as for any client), and a
  // whole status through the installed client, whose time includes starting it.
  auto status_within = [&](double limit) {
    const MonoTime start = MonoClock::now();
    auto c = platform::open_pipe_client(pipe, 30s);
    ASSERT_TRUE(c) << c.error();
    // Refused at once, the connection may be closed before the write: the answer waits.
    (void)write_frame(*c, R"({"version":1,"command":"status","request_id":"p","issued_at_unix_ms":1})");
    auto answer = read_frame(*c, 1 << 20);
    const double took = seconds_since(start);
    slowest = std::max(slowest, took);
    threads_peak = std::max(threads_peak, proc_status_value(pid, "Threads:"));
    EXPECT_TRUE(answer.has_value());
    EXPECT_LT(took, limit) << "the answer took too long";
    const auto r = world.ctl({"status"});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("\"state\":\"idle\""), std::string::npos) << r.out;
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Attacker attacker(attacker_program, pipe, row.args);
    if (row.waits_for_line) {
      EXPECT_EQ(attacker.first_line().rfind("connected", 0), 0u);
    }
    const MonoTime attacked_at = MonoClock::now();
    long rss_peak = 0;
    // Throughout the deadline and a little past it.
    while (seconds_since(attacked_at) < 12.0) {
      status_within(row.answer_within);
      rss_peak = std::max(rss_peak, proc_status_value(pid, "VmRSS:"));
      std::this_thread::sleep_for(1s);  // pacing of the probes, not synchronisation
    }
    EXPECT_LT(rss_peak - rss_idle, 64 * 1024) << "KiB grown";
    std::printf("[ figures  ] %s: slowest status %.3f s, resident growth %ld KiB, threads %ld idle, %ld at most\n",
                row.name, slowest, rss_peak - rss_idle, threads_idle, threads_peak);
    slowest = 0;
    threads_peak = 0;
    // The deadline has passed for every attacking connection: their handlers are gone.
    const MonoTime until = MonoClock::now() + 10s;
    while (proc_status_value(pid, "Threads:") > threads_idle && MonoClock::now() < until)
      std::this_thread::sleep_for(50ms);
    EXPECT_LE(proc_status_value(pid, "Threads:"), threads_idle);
  }

  // Beyond the bound: 300 held connections. A client that arrives after the 128th
  // is served once the first handlers reach their deadline; one behind all 300
  // waits for the queue ahead of it (the dev host's backlog is first come, first
  // served, and a queued connection's 10 s start when it is taken).
  {
    SCOPED_TRACE("300 held connections");
    Attacker first(attacker_program, pipe, {"many", "hold", "128"});
    ASSERT_EQ(first.first_line(), "connected 128\n");
    const MonoTime held_at = MonoClock::now();
    bool early = false;
    std::thread probe([&] {
      auto c = platform::open_pipe_client(pipe, 30s);
      if (!c) return;
      (void)write_frame(*c, R"({"version":1,"command":"status","request_id":"p","issued_at_unix_ms":1})");
      early = read_frame(*c, 1 << 20).has_value();
    });
    std::this_thread::sleep_for(200ms);  // the probe's connection queued before the rest
    Attacker rest(attacker_program, pipe, {"many", "hold", "172"});
    EXPECT_EQ(rest.first_line(), "connected 172\n");
    probe.join();
    const double early_took = seconds_since(held_at);
    EXPECT_TRUE(early) << "not answered";
    EXPECT_LT(early_took, 11.0);
    EXPECT_LT(proc_status_value(pid, "VmRSS:") - rss_idle, 64 * 1024) << "KiB grown";
    EXPECT_LE(proc_status_value(pid, "Threads:"), threads_idle + 128);

    const MonoTime late_at = MonoClock::now();
    const auto late = world.ctl({"status"});
    EXPECT_EQ(late.exit_code, 0) << late.out;
    EXPECT_LT(seconds_since(late_at), 22.0);
    std::printf("[ figures  ] 300 held: status after the 128th %.3f s, behind all 300 %.3f s\n",
                early_took, seconds_since(late_at));
  }
  const MonoTime until = MonoClock::now() + 15s;
  while (proc_status_value(pid, "Threads:") > threads_idle && MonoClock::now() < until) std::this_thread::sleep_for(50ms);
  EXPECT_LE(proc_status_value(pid, "Threads:"), threads_idle);
  world.stop_service();
}

}  // namespace
}  // namespace brenmoor
