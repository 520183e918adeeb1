// A full engine session start and stop on the dev host, with the stand-in engine and
// netsim's tools (which answer at once), timed phase by phase. The service's own
// overhead is what is left beside the time spent in child processes.
//   bench_session [iterations]
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "engine/engine_launch.h"
#include "network/command_runner.h"
#include "platform/process_info.h"

namespace fs = std::filesystem;
using namespace brenmoor;

namespace {

// Counts the processes the network steps start (every command is one process).
class CountingRunner final : public CommandRunner {
 public:
  Status run(const NetworkCommand& c) override {
    ++processes;
    return system_command_runner().run(c);
  }
  Result<std::string> run_powershell(std::string_view script) override {
    ++processes;
    return system_command_runner().run_powershell(script);
  }
  int processes = 0;
};

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::atoi(argv[1]) : 10;
  const fs::path bin = fs::path(*platform::current_executable_path()).parent_path();
  const fs::path source = BRENMOOR_SOURCE_DIR;
  const fs::path world = fs::temp_directory_path() / ("brenmoor-bench-" + std::to_string(::getpid()));
  fs::remove_all(world);
  fs::create_directories(world / "svc" / "geodata");
  fs::create_directories(world / "tools");
  fs::copy_file(bin / "brenmoor-test-engine", world / "svc" / "engine.exe");
  for (const char* f : {"wintun.dll", "geodata/geoip.dat", "geodata/geosite.dat"})
    fs::copy_file(source / "tests/fixtures/service_dir" / f, world / "svc" / f);
  for (const char* tool : {"route", "netsh", "powershell.exe"}) fs::copy_file(bin / "netsim", world / "tools" / tool);
  const std::string state = (world / "net.json").string();
  ::setenv("BRENMOOR_NETSIM", state.c_str(), 1);
  ::setenv("PATH", ((world / "tools").string() + ":" + std::getenv("PATH")).c_str(), 1);
  if (std::system(((bin / "netsim").string() + " init-typical").c_str()) != 0) {
    std::fprintf(stderr, "netsim init failed\n");
    return 1;
  }

  std::string config = read_text(source / "samples/config.json");
  for (std::size_t at; (at = config.find("vpn.example.net")) != std::string::npos;) config.replace(at, 15, "5.180.20.10");
  ServiceRequest request;
  request.version = 1;
  request.command = Command::start;
  request.config_json = config;
  request.server_address = "5.180.20.10";

  const std::vector<std::string> order = {"launch", "readiness", "connect", "adapter", "dns_snapshot", "bring_up",
                                          "teardown"};
  std::map<std::string, double> total_ms;
  int processes = 0;
  double whole_ms = 0;
  for (int i = 0; i < iterations; ++i) {
    CountingRunner runner;
    EngineLaunchConfig launch;
    launch.runner = &runner;
    launch.executable_path = (world / "svc" / "brenmoor-service").string();
    MonoTime mark = MonoClock::now();
    const MonoTime begin = mark;
    launch.on_phase = [&](std::string_view phase) {
      const MonoTime now = MonoClock::now();
      total_ms[std::string(phase)] += std::chrono::duration<double, std::milli>(now - mark).count();
      mark = now;
    };
    auto session = start_engine_session(request, launch);
    if (!session) {
      std::fprintf(stderr, "start failed: %s\n", session.error().c_str());
      return 1;
    }
    mark = MonoClock::now();
    stop_engine_session(std::move(*session), launch);
    whole_ms += std::chrono::duration<double, std::milli>(MonoClock::now() - begin).count();
    processes += runner.processes + 1;  // + the engine
  }
  std::printf("full start and stop, mean of %d runs (netsim tools, stand-in engine):\n", iterations);
  double phases = 0;
  for (const auto& p : order) {
    std::printf("  %-13s %8.2f ms\n", p.c_str(), total_ms[p] / iterations);
    phases += total_ms[p] / iterations;
  }
  std::printf("  %-13s %8.2f ms\n", "total", whole_ms / iterations);
  std::printf("processes started per session: %.1f (1 engine + network commands)\n",
              static_cast<double>(processes) / iterations);
  std::printf("mean cost per process start: %.2f ms\n", (whole_ms / iterations) / (static_cast<double>(processes) / iterations));
  fs::remove_all(world);
  return 0;
}
