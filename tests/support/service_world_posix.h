// One world for every end-to-end test on the dev host: a private host root, the
// installed client, the service folder with the stand-in engine and its assets, netsim
// as the machine's network, and the real service started in the foreground or in
// service mode under the notify supervisor.
//
// A test owns a ServiceWorld (a member of its fixture, or a local); the world stops
// its service and ends any tool it left hanging when it is destroyed. Every wait is
// bounded; a wait that runs out is reported as a test failure, never hangs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/process.h"

namespace brenmoor::test {

// The VPN server of every world: only ever a string in the simulated network.
inline constexpr const char* kWorldServer = "5.180.20.10";
// Bound of every wait for the service, the engine or a tool.
inline constexpr Duration kWorldWaitBound = std::chrono::seconds(30);

struct Outcome {
  int exit_code = -1;
  std::string out;  // standard output, then standard error
};

// Runs a program to its end with the given environment overrides.
Outcome run_program(const std::string& program, std::vector<std::string> args,
                    std::vector<platform::EnvOverride> env);

// Live processes (zombies excluded) whose executable is `path`.
std::vector<pid_t> processes_of(const std::string& path);

// Polls `condition` until it holds or `bound` runs out; true when it held.
template <class Fn>
bool within(Duration bound, Fn&& condition, Duration step = std::chrono::milliseconds(50)) {
  const auto until = MonoClock::now() + bound;
  while (!condition()) {
    if (MonoClock::now() >= until) return false;
    std::this_thread::sleep_for(step);  // polling a bounded wait on another process
  }
  return true;
}

class ServiceWorld {
 public:
  // Lays the world out under a fresh folder named after `tag`, initialises netsim with
  // the typical machine and keeps its dump as the initial network.
  explicit ServiceWorld(const std::string& tag);
  ~ServiceWorld();
  ServiceWorld(const ServiceWorld&) = delete;
  ServiceWorld& operator=(const ServiceWorld&) = delete;

  const std::string& root() const { return root_; }
  const std::string& host_root() const { return host_; }
  const std::string& program_files() const { return program_files_; }
  const std::string& service_dir() const { return svc_; }
  const std::string& tools_dir() const { return tools_; }
  const std::string& netsim_state() const { return netsim_state_; }
  std::string data_folder() const { return host_ + "/ProgramData/Pellamy"; }
  std::string log_path() const { return data_folder() + "/brenmoor-service.log"; }
  std::string journal_path() const { return data_folder() + "/brenmoor-network.journal"; }
  std::string engine_path() const { return svc_ + "/engine.exe"; }
  std::string client_path() const { return program_files_ + "/Pellamy/brenmoor-win.exe"; }
  // The sample configuration with this world's server as its address.
  std::string config_path() const { return root_ + "/config.json"; }
  // The netsim dump taken right after the world was laid out.
  const std::string& initial_dump() const { return initial_; }

  // Faults of the stand-in engine (BRENMOOR_ENGINE_FAULTS) for services started later.
  void set_engine_faults(std::string faults) { engine_faults_ = std::move(faults); }
  // Rewrites config_path() with `server` as its address.
  void write_config(const std::string& server);

  std::vector<platform::EnvOverride> env() const { return env_with_state(netsim_state_); }
  std::vector<platform::EnvOverride> env_with_state(const std::string& netsim_state) const;

  Outcome netsim(std::vector<std::string> args) const;
  Outcome netsim_on(const std::string& state, std::vector<std::string> args) const;
  // The installed client with --json first.
  Outcome ctl(std::vector<std::string> args) const;
  Outcome start(std::uint32_t lease = 60, const std::string& server = kWorldServer) const;
  std::vector<std::string> start_args(std::uint32_t lease = 60, const std::string& server = kWorldServer) const;
  // The "state" member of a status answer; empty when the service did not answer.
  std::string status() const;
  std::string log() const;
  int engines_running() const { return static_cast<int>(processes_of(engine_path()).size()); }

  // The foreground service, or with `supervised` the service mode under the notify
  // supervisor; true once the pipe answers (a test failure is added otherwise).
  bool start_service(bool supervised = false);
  // The Stop control (SIGTERM) and a wait for the process; its exit code, or -1
  // when no service was running.
  int stop_service();
  // SIGKILL: no shutdown, no teardown. Under the supervisor the service itself is its
  // child; both die, as a crash of the service process would, and the engine with them.
  void kill_service_hard();
  platform::Process& service_process() { return service_; }

  // Waits (bounded) until status reports `state`.
  bool wait_for_state(const std::string& state, Duration bound = kWorldWaitBound) const;
  // netsim's difference between now and `dump_file`; exit code 0 when equal.
  Outcome diff(const std::string& dump_file) const { return netsim({"diff", dump_file}); }
  // The same against the initial network.
  Outcome diff_from_initial() const { return diff(initial_file_); }

 private:
  std::string root_, host_, program_files_, svc_, tools_, netsim_state_, initial_file_, initial_;
  std::string engine_faults_;
  platform::Process service_;
};

// The "key" member of a flat JSON answer, unquoted; empty when absent.
std::string json_field(const std::string& json, const std::string& key);

}  // namespace brenmoor::test
