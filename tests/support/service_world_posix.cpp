#include "support/service_world_posix.h"

#include <dirent.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace brenmoor::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Outcome run_program(const std::string& program, std::vector<std::string> args,
                    std::vector<platform::EnvOverride> env) {
  platform::SpawnOptions o;
  o.program = program;
  o.args = std::move(args);
  o.stdout_mode = platform::StdioMode::pipe;
  o.stderr_mode = platform::StdioMode::pipe;
  o.env = std::move(env);
  auto p = platform::spawn_process(o);
  if (!p) return {};
  auto out = p->take_stdout();
  auto err = p->take_stderr();
  auto text = platform::read_to_end(out, err);
  auto code = p->wait();
  Outcome r;
  r.exit_code = code ? static_cast<int>(*code) : -1;
  if (text) r.out = text->stdout_bytes + text->stderr_bytes;
  return r;
}

std::vector<pid_t> processes_of(const std::string& path) {
  std::vector<pid_t> out;
  DIR* d = ::opendir("/proc");
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    std::error_code ec;
    const fs::path exe = fs::read_symlink(fs::path("/proc") / e->d_name / "exe", ec);
    if (ec || exe != path) continue;
    std::ifstream stat(fs::path("/proc") / e->d_name / "stat");
    std::string pid, comm, state;
    stat >> pid >> comm >> state;
    // A zombie is gone for every purpose but its parent's bookkeeping.
    if (state != "Z") out.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
  }
  ::closedir(d);
  return out;
}

std::string json_field(const std::string& json, const std::string& key) {
  const std::string k = "\"" + key + "\":";
  const auto at = json.find(k);
  if (at == std::string::npos) return "";
  auto v = json.substr(at + k.size());
  if (v.starts_with("\"")) return v.substr(1, v.find('"', 1) - 1);
  return v.substr(0, v.find_first_of(",}"));
}

ServiceWorld::ServiceWorld(const std::string& tag) {
  root_ = make_temp_dir(tag);
  host_ = root_ + "/host";
  program_files_ = root_ + "/Program Files";
  svc_ = root_ + "/svc";
  tools_ = root_ + "/tools";
  netsim_state_ = root_ + "/net.json";
  initial_file_ = root_ + "/initial.json";
  for (const auto& d : {host_, program_files_ + "/Pellamy", svc_ + "/geodata", tools_}) fs::create_directories(d);
  const std::string bin = bin_dir();
  fs::copy_file(bin + "/brenmoor-service", svc_ + "/brenmoor-service");
  fs::copy_file(bin + "/brenmoor-test-engine", engine_path());
  fs::copy_file(bin + "/wintun.dll", svc_ + "/wintun.dll");
  fs::copy_file(bin + "/geodata/geoip.dat", svc_ + "/geodata/geoip.dat");
  fs::copy_file(bin + "/geodata/geosite.dat", svc_ + "/geodata/geosite.dat");
  fs::copy_file(bin + "/brenmoor-ctl", client_path());
  for (const char* tool : {"route", "netsh", "powershell.exe"}) fs::copy_file(bin + "/netsim", tools_ + "/" + tool);
  write_config(kWorldServer);
  const Outcome init = netsim({"init-typical"});
  EXPECT_EQ(init.exit_code, 0) << init.out;
  initial_ = netsim({"dump"}).out;
  std::ofstream(initial_file_) << initial_;
}

ServiceWorld::~ServiceWorld() {
  if (service_.valid()) {
    (void)::kill(static_cast<pid_t>(service_.id()), SIGTERM);
    (void)service_.wait();
  }
  // A tool a test made hang outlives the service that started it.
  for (const char* tool : {"route", "netsh", "powershell.exe"}) {
    for (pid_t p : processes_of(tools_ + "/" + tool)) ::kill(p, SIGKILL);
  }
}

void ServiceWorld::write_config(const std::string& server) {
  std::string config = read_file(source_dir() + "/samples/config.json");
  for (std::size_t at; (at = config.find("vpn.example.net")) != std::string::npos;) config.replace(at, 15, server);
  std::ofstream(config_path(), std::ios::trunc) << config;
}

std::vector<platform::EnvOverride> ServiceWorld::env_with_state(const std::string& netsim_state) const {
  const char* path = std::getenv("PATH");
  return {{"BRENMOOR_HOST_ROOT", host_},
          {"ProgramFiles", program_files_},
          {"BRENMOOR_NETSIM", netsim_state},
          {"BRENMOOR_CTL_TOKEN_FILE", root_ + "/token"},
          {"PATH", tools_ + ":" + std::string(path ? path : "/usr/bin:/bin")},
          {"BRENMOOR_ENGINE_FAULTS", engine_faults_}};
}

Outcome ServiceWorld::netsim(std::vector<std::string> args) const { return netsim_on(netsim_state_, std::move(args)); }

Outcome ServiceWorld::netsim_on(const std::string& state, std::vector<std::string> args) const {
  return run_program(bin_path("netsim"), std::move(args), env_with_state(state));
}

Outcome ServiceWorld::ctl(std::vector<std::string> args) const {
  args.insert(args.begin(), "--json");
  return run_program(client_path(), std::move(args), env());
}

std::vector<std::string> ServiceWorld::start_args(std::uint32_t lease, const std::string& server) const {
  return {"start", "--config", config_path(), "--server", server, "--lease", std::to_string(lease)};
}

Outcome ServiceWorld::start(std::uint32_t lease, const std::string& server) const {
  return ctl(start_args(lease, server));
}

std::string ServiceWorld::status() const { return json_field(ctl({"status"}).out, "state"); }

std::string ServiceWorld::log() const { return read_file(log_path()); }

bool ServiceWorld::start_service(bool supervised) {
  platform::SpawnOptions o;
  if (supervised) {
    o.program = bin_path("brenmoor-supervise");
    o.args = {"--", svc_ + "/brenmoor-service"};
  } else {
    o.program = svc_ + "/brenmoor-service";
    o.args = {"--run-foreground"};
  }
  o.env = env();
  auto p = platform::spawn_process(o);
  if (!p) {
    ADD_FAILURE() << "service not started: " << p.error();
    return false;
  }
  service_ = std::move(*p);
  if (!within(kWorldWaitBound, [&] { return ctl({"status"}).exit_code == 0; }, 20ms)) {
    ADD_FAILURE() << "service did not answer";
    return false;
  }
  return true;
}

int ServiceWorld::stop_service() {
  if (!service_.valid()) return -1;
  (void)::kill(static_cast<pid_t>(service_.id()), SIGTERM);
  auto code = service_.wait();
  EXPECT_TRUE(code.has_value());
  service_ = platform::Process();
  return code ? static_cast<int>(*code) : -1;
}

void ServiceWorld::kill_service_hard() {
  for (pid_t p : processes_of(svc_ + "/brenmoor-service")) ::kill(p, SIGKILL);
  if (service_.valid()) {
    (void)::kill(static_cast<pid_t>(service_.id()), SIGKILL);
    (void)service_.wait();
  }
  service_ = platform::Process();
  EXPECT_TRUE(within(kWorldWaitBound, [&] {
    return processes_of(engine_path()).empty() && processes_of(svc_ + "/brenmoor-service").empty();
  }, 20ms)) << "the engine outlived the killed service";
}

bool ServiceWorld::wait_for_state(const std::string& state, Duration bound) const {
  return within(bound, [&] { return status() == state; });
}

}  // namespace brenmoor::test
