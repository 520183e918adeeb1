// The dev-host service manager link as a real process: the notify protocol, SIGTERM
// and SIGINT as the Stop control, and the pipe socket's access.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "pipe_test_support.h"
#include "control/frame.h"
#include "platform/pipe_client.h"
#include "service/version.h"

namespace brenmoor {
namespace {

// The supervisor's end of the notify protocol: a bound datagram socket.
class NotifySocket {
 public:
  NotifySocket() : path_(test::make_temp_dir("notify") + "/notify.sock") {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size());
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    timeval tv{60, 0};  // a bound for a broken service, not a synchronisation
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifySocket() { ::close(fd_); }
  const std::string& path() const { return path_; }
  std::string next() {
    char buf[4096];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("<timeout>");
  }

 private:
  std::string path_;
  int fd_ = -1;
};

struct ServiceChild {
  std::string root;
  NotifySocket notify;
  platform::Process process;

  explicit ServiceChild(std::vector<std::string> args) : root(test::make_temp_dir("svc")) {
    platform::SpawnOptions o;
    o.program = test::bin_path("th_service_host");
    o.args = std::move(args);
    o.env = {{"BRENMOOR_HOST_ROOT", root}, {"NOTIFY_SOCKET", notify.path()}};
    auto p = platform::spawn_process(o);
    EXPECT_TRUE(p) << p.error();
    if (p) process = std::move(*p);
  }
  std::string pipe_path() const { return root + "/pipe/brenmoor-full-device"; }
  std::string log() const { return test::read_file(root + "/ProgramData/Pellamy/brenmoor-service.log"); }
  void signal(int sig) { ::kill(static_cast<pid_t>(process.id()), sig); }
  // Once running was reported the socket follows within moments; a short bounded
  // connect retry covers that gap (the client does the same).
  void wait_for_pipe() {
    auto c = platform::open_pipe_client(pipe_path(), std::chrono::milliseconds(200));
    ASSERT_TRUE(c) << c.error();
  }
};

TEST(ServiceProcessPosix, NotifyProtocolAndStopSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    ServiceChild svc({});
    const std::string ready = svc.notify.next();
    EXPECT_EQ(ready.substr(0, 8), "READY=1\n") << ready;
    EXPECT_NE(ready.find("X_BRENMOOR_STATE=4\nX_BRENMOOR_CONTROLS_ACCEPTED=5\nX_BRENMOOR_CHECKPOINT=0\n"), std::string::npos);
    svc.wait_for_pipe();

    svc.signal(sig);
    const std::string pending = svc.notify.next();
    EXPECT_EQ(pending.rfind("STOPPING=1\nEXTEND_TIMEOUT_USEC=90000000\n", 0), 0u) << pending;
    EXPECT_NE(pending.find("X_BRENMOOR_STATE=3\nX_BRENMOOR_CONTROLS_ACCEPTED=0\nX_BRENMOOR_CHECKPOINT=1\n"
                           "X_BRENMOOR_WAIT_HINT_MS=90000\n"),
              std::string::npos);
    const std::string stopped = svc.notify.next();
    EXPECT_EQ(stopped.substr(0, 15), "STATUS=stopped\n") << stopped;
    auto code = svc.process.wait();
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0u);

    const std::string log = svc.log();
    std::size_t at = 0;
    for (const char* line : {"process entry", "registering service dispatcher", "service main entered",
                             "run_service start", "status running", "pipe loop exited", "service stopped"}) {
      const std::size_t found = log.find(std::string(" ") + line + "\n", at);
      EXPECT_NE(found, std::string::npos) << line << " in\n" << log;
      if (found != std::string::npos) at = found;
    }
    // Who wrote this log: the version and the process, on the line right after the entry.
    const std::size_t entry = log.find(" process entry\n");
    ASSERT_NE(entry, std::string::npos);
    const std::size_t next = entry + 15;
    const std::string second = log.substr(next, log.find('\n', next) - next);
    EXPECT_TRUE(second.ends_with(" version " + std::string(service_version()) + " pid " +
                                 std::to_string(svc.process.id())))
        << second;
    EXPECT_TRUE(log.ends_with(" service stopped\n")) << log;
    EXPECT_EQ(::access(svc.pipe_path().c_str(), F_OK), -1) << "the socket goes with the pipe loop";
  }
}

// Reads "system.posix_acl_access" into (tag, perm, id) triples.
std::vector<std::array<std::uint32_t, 3>> acl_entries(const std::string& path) {
  std::vector<std::array<std::uint32_t, 3>> out;
  char buf[512];
  const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", buf, sizeof buf);
  for (ssize_t i = 4; i + 8 <= n; i += 8) {
    std::uint16_t tag, perm;
    std::uint32_t id;
    std::memcpy(&tag, buf + i, 2);
    std::memcpy(&perm, buf + i + 2, 2);
    std::memcpy(&id, buf + i + 4, 4);
    out.push_back({tag, perm, id});
  }
  return out;
}

TEST(ServiceProcessPosix, PipeSocketAccessFollowsTheDescriptor) {
  if (::geteuid() != 0) GTEST_SKIP() << "mapping Administrators to group root needs root";
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::array<std::uint32_t, 3>> acl;  // empty: none
  };
  const std::vector<Row> rows = {
      {"base", {}, {}},
      {"Unix user SID", {"--allowed-sid", "S-1-22-1-4242"},
       {{0x01, 6, 0xFFFFFFFF}, {0x02, 6, 4242}, {0x04, 6, 0xFFFFFFFF}, {0x10, 6, 0xFFFFFFFF}, {0x20, 0, 0xFFFFFFFF}}},
      {"Unix group SID", {"--allowed-sid", "S-1-22-2-777"},
       {{0x01, 6, 0xFFFFFFFF}, {0x04, 6, 0xFFFFFFFF}, {0x08, 6, 777}, {0x10, 6, 0xFFFFFFFF}, {0x20, 0, 0xFFFFFFFF}}},
      {"Windows-only SID grants nothing here", {"--allowed-sid", "S-1-5-32-545"}, {}},
      {"malformed SID", {"--allowed-sid", "s-1-22-1-4242"}, {}},
  };
  for (const Row& r : rows) {
    ServiceChild svc(r.args);
    EXPECT_EQ(svc.notify.next().substr(0, 8), "READY=1\n");
    svc.wait_for_pipe();
    struct stat st {};
    ASSERT_EQ(::stat(svc.pipe_path().c_str(), &st), 0) << r.name;
    EXPECT_TRUE(S_ISSOCK(st.st_mode)) << r.name;
    EXPECT_EQ(st.st_mode & 0777, 0660u) << r.name;
    EXPECT_EQ(st.st_uid, 0u) << r.name;
    EXPECT_EQ(st.st_gid, 0u) << r.name;
    EXPECT_EQ(acl_entries(svc.pipe_path()), r.acl) << r.name;
    svc.signal(SIGTERM);
    (void)svc.process.wait();
  }
}

TEST(ServiceProcessPosix, ForegroundServesWithoutAServiceManager) {
  const std::string root = test::make_temp_dir("fg");
  platform::SpawnOptions o;
  o.program = test::bin_path("th_service_host");
  o.args = {"--run-foreground", "--allowed-sid", "S-1-5-21-bogus-x"};
  o.env = {{"BRENMOOR_HOST_ROOT", root}, {"NOTIFY_SOCKET", ""}};
  o.stdout_mode = platform::StdioMode::pipe;
  o.stderr_mode = platform::StdioMode::pipe;
  auto p = platform::spawn_process(o);
  ASSERT_TRUE(p);
  auto out = p->take_stdout();
  auto err = p->take_stderr();
  // No readiness report in foreground mode: the connect retry covers the start.
  std::optional<platform::PipeClient> c;
  for (int i = 0; i < 100 && !c; ++i) {
    auto attempt = platform::open_pipe_client(root + "/pipe/brenmoor-full-device", std::chrono::milliseconds(200));
    if (attempt) c = std::move(*attempt);
  }
  ASSERT_TRUE(c.has_value()) << "foreground service never listened";
  (void)write_frame(*c, R"({"version":1,"command":"status","request_id":"r","issued_at_unix_ms":1})");
  auto body = read_frame(*c, 1 << 20);
  ASSERT_TRUE(body);
  EXPECT_NE(body->find("client_identity_unverified"), std::string::npos);
  const std::string log = test::read_file(root + "/ProgramData/Pellamy/brenmoor-service.log");
  EXPECT_NE(log.find(" foreground mode\n"), std::string::npos);
  EXPECT_EQ(log.find("run_service start"), std::string::npos);
  // A mistyped SID fails closed, and says so where the operator looks.
  EXPECT_NE(log.find(" allowed sid ignored: not a sid: S-1-5-21-bogus-x\n"), std::string::npos) << log;
  ASSERT_TRUE(p->terminate());
  auto text = platform::read_to_end(out, err);
  (void)p->wait();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->stdout_bytes, "serving on " + root + "/pipe/brenmoor-full-device\n");
  EXPECT_EQ(text->stderr_bytes, "allowed sid ignored: not a sid: S-1-5-21-bogus-x\n");
}

// --help and --version behave like any tool's: their text on standard output, exit 0,
// and nothing else happens (no log line, no service).
TEST(ServiceProcessPosix, HelpAndVersionPrintAndExit) {
  struct Row {
    std::vector<std::string> args;
    std::string starts;
  };
  for (const Row& r : std::vector<Row>{{{"--help"}, "usage: brenmoor-service "},
                                       {{"--version"}, "brenmoor-service " + std::string(service_version()) + "\n"},
                                       {{"--run-foreground", "--help"}, "usage: brenmoor-service "}}) {
    const std::string root = test::make_temp_dir("help");
    platform::SpawnOptions o;
    o.program = test::bin_path("brenmoor-service");
    o.args = r.args;
    o.env = {{"BRENMOOR_HOST_ROOT", root}, {"NOTIFY_SOCKET", ""}};
    o.stdout_mode = platform::StdioMode::pipe;
    o.stderr_mode = platform::StdioMode::pipe;
    auto p = platform::spawn_process(o);
    ASSERT_TRUE(p);
    auto out = p->take_stdout();
    auto err = p->take_stderr();
    auto text = platform::read_to_end(out, err);
    auto code = p->wait();
    ASSERT_TRUE(code && text);
    EXPECT_EQ(*code, 0u) << r.args[0];
    EXPECT_TRUE(text->stdout_bytes.starts_with(r.starts)) << text->stdout_bytes;
    EXPECT_EQ(text->stderr_bytes, "");
    EXPECT_FALSE(std::filesystem::exists(root + "/ProgramData")) << "nothing is logged";
  }
}

}  // namespace
}  // namespace brenmoor
