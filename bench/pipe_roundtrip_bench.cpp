// Status round trips per second over the dev host's control pipe, next to a bare
// Unix-socket echo of the same frame on a fresh connection each time (the ceiling:
// connect, one frame each way, close, and nothing else). Prints the ratio.
// BM_StatusWith100HeldConnections: the same round trip while 100 other connections
// have each announced an 8 MiB request and sent nothing more, with the process's
// resident memory growth and thread count at that moment.
//
// The identity check wants the client to be brenmoor-win.exe under ProgramFiles, and
// here the client is this very process: the benchmark copies itself there and runs
// the copy.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "control/frame.h"
#include "control/pipe_server.h"
#include "platform/pipe_client.h"
#include "service/service_body.h"
#include "tests/support/fakes.h"

namespace fs = std::filesystem;
using namespace brenmoor;

namespace {

const std::string kStatus = R"({"version":1,"command":"status","request_id":"bench","issued_at_unix_ms":1})";
const std::string kIdle = R"({"success":true,"state":"idle","error":"","degraded":false,"session_token":""})";

std::string g_pipe;
std::string g_echo;

void BM_StatusRoundTrip(benchmark::State& st) {
  for (auto _ : st) {
    auto c = platform::open_pipe_client(g_pipe, std::chrono::seconds(5));
    if (!c || !write_frame(*c, kStatus)) {
      st.SkipWithError("request failed");
      break;
    }
    auto body = read_frame(*c, 1 << 20);
    if (!body || *body != kIdle) {
      st.SkipWithError("unexpected response");
      break;
    }
  }
  st.SetItemsProcessed(st.iterations());
}

void BM_BareUnixSocketEcho(benchmark::State& st) {
  for (auto _ : st) {
    auto c = platform::open_pipe_client(g_echo, std::chrono::seconds(5));
    if (!c || !write_frame(*c, kStatus)) {
      st.SkipWithError("echo failed");
      break;
    }
    auto body = read_frame(*c, 1 << 20);
    if (!body) {
      st.SkipWithError("echo failed");
      break;
    }
  }
  st.SetItemsProcessed(st.iterations());
}

// From /proc/self/status: "VmRSS:" in KiB, "Threads:".
long proc_status_value(const std::string& key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  return -1;
}

void BM_StatusWith100HeldConnections(benchmark::State& st) {
  const long rss_before = proc_status_value("VmRSS:");
  std::vector<platform::PipeClient> held;
  for (int i = 0; i < 100; ++i) {
    auto c = platform::open_pipe_client(g_pipe, std::chrono::seconds(5));
    char prefix[4];
    encode_frame_length(8388608u, prefix);
    if (!c || !write_all(*c, std::string_view(prefix, 4))) {
      st.SkipWithError("holding failed");
      return;
    }
    held.push_back(std::move(*c));
  }
  // Every held connection has its handler (each holds well within its 10 s).
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (running_connection_handlers() < 100 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const long rss_held = proc_status_value("VmRSS:");
  const long threads = proc_status_value("Threads:");
  for (auto _ : st) {
    auto c = platform::open_pipe_client(g_pipe, std::chrono::seconds(5));
    if (!c || !write_frame(*c, kStatus)) {
      st.SkipWithError("request failed");
      break;
    }
    auto body = read_frame(*c, 1 << 20);
    if (!body || *body != kIdle) {
      st.SkipWithError("unexpected response");
      break;
    }
  }
  st.SetItemsProcessed(st.iterations());
  st.counters["held_handlers"] = static_cast<double>(running_connection_handlers());
  st.counters["rss_growth_MiB"] = static_cast<double>(rss_held - rss_before) / 1024.0;
  st.counters["threads"] = static_cast<double>(threads);
  held.clear();
  while (running_connection_handlers() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

BENCHMARK(BM_StatusRoundTrip)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StatusWith100HeldConnections)->UseRealTime()->Iterations(2000);
BENCHMARK(BM_BareUnixSocketEcho)->UseRealTime()->MinTime(2.0);

// One thread: accept, read one frame, answer with a frame of the response's size.
void echo_server(int listen_fd) {
  class Fd final : public platform::PipeStream {
   public:
    explicit Fd(int fd) : fd_(fd) {}
    Result<std::size_t> read_some(char* d, std::size_t n) override {
      const ssize_t r = ::recv(fd_, d, n, 0);
      if (r < 0) return fail("pipe_read_failed");
      return static_cast<std::size_t>(r);
    }
    Result<std::size_t> write_some(const char* d, std::size_t n) override {
      const ssize_t r = ::send(fd_, d, n, MSG_NOSIGNAL);
      if (r < 0) return fail("pipe_write_failed");
      return static_cast<std::size_t>(r);
    }
   private:
    int fd_;
  };
  for (;;) {
    const int fd = ::accept(listen_fd, nullptr, nullptr);
    if (fd < 0) return;
    Fd s(fd);
    if (read_frame(s, 1 << 20)) (void)write_frame(s, kIdle);
    ::close(fd);
  }
}

class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it == r.counters.end()) continue;
      if (r.benchmark_name().rfind("BM_StatusRoundTrip", 0) == 0) status_ = it->second.value;
      if (r.benchmark_name().find("Echo") != std::string::npos) echo_ = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double status_ = 0, echo_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  if (fs::path(self).filename() != "brenmoor-win.exe") {
    char tmpl[] = "/tmp/brenmoor-bench-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) return 1;
    const fs::path pf = fs::path(tmpl) / "Program Files";
    fs::create_directories(pf / "Pellamy");
    fs::copy_file(self, pf / "Pellamy" / "brenmoor-win.exe");
    ::setenv("ProgramFiles", pf.c_str(), 1);
    ::setenv("BRENMOOR_HOST_ROOT", tmpl, 1);
    const std::string copy = (pf / "Pellamy" / "brenmoor-win.exe").string();
    argv[0] = const_cast<char*>(copy.c_str());
    ::execv(copy.c_str(), argv);
    std::perror("exec");
    return 1;
  }

  const std::string root = std::getenv("BRENMOOR_HOST_ROOT");
  g_pipe = root + "/pipe/brenmoor-full-device";
  g_echo = root + "/echo.sock";

  test::FakeSessions sessions(system_clock());
  test::FakeLanes lanes;
  auto state = make_service_state({sessions, lanes, system_clock()});
  std::mutex m;
  std::condition_variable cv;
  bool ready = false;
  std::thread loop([&] {
    run_pipe_loop(state, g_pipe, [&] {
      std::lock_guard<std::mutex> l(m);
      ready = true;
      cv.notify_all();
    });
  });
  {
    std::unique_lock<std::mutex> l(m);
    cv.wait(l, [&] { return ready; });
  }

  const int echo_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, g_echo.c_str(), g_echo.size());
  if (::bind(echo_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(echo_fd, SOMAXCONN) != 0) return 1;
  std::thread(echo_server, echo_fd).detach();

  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (reporter.status_ > 0 && reporter.echo_ > 0)
    std::printf("status round trips: %.0f/s, bare echo: %.0f/s, ratio %.2f\n", reporter.status_, reporter.echo_,
                reporter.status_ / reporter.echo_);

  handle_service_control(1, state->gate(), g_pipe);
  loop.join();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(root, ec);  // the copy of this program and its ProgramFiles
  return 0;
}
