// What the crash-recovery journal adds to a bring-up: the same configure_tun_network
// with and without the journal, once against an in-process stand-in that answers at
// once (the journal's cost against the bring-up's own logic) and once against
// netsim's tools as real processes (against a bring-up as the service runs it).
// A journaled bring-up writes the state durably before its first change and before
// each recorded change, and removes the file at the teardown, as a session does.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "network/journal.h"
#include "network/routes.h"
#include "network/tun_network.h"
#include "platform/process_info.h"

namespace fs = std::filesystem;
using namespace brenmoor;

namespace {

constexpr std::string_view kAlias = "Brenmoor Device Path";

// Answers the bring-up's queries as a typical machine would; every change succeeds.
class InstantRunner final : public CommandRunner {
 public:
  Status run(const NetworkCommand&) override { return {}; }
  Result<std::string> run_powershell(std::string_view script) override {
    if (script == default_path_script(IpFamily::ipv4)) return std::string("192.168.1.1,12\r\n");
    if (script == default_path_script(IpFamily::ipv6)) return std::string("fe80::1,12\r\n");
    if (script == adapter_index_script(kAlias)) return std::string("15\r\n");
    if (script == address_inventory_script()) return std::string("192.168.1.23/24,12,address\r\n");
    return std::string();
  }
};

HostResolver two_addresses() {
  return [](std::string_view) -> Result<std::vector<platform::ResolvedAddress>> {
    return std::vector<platform::ResolvedAddress>{{false, "203.0.113.5"}, {true, "2001:db8::5"}};
  };
}

const fs::path& scratch() {
  static const fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("brenmoor-journal-bench-" + std::to_string(::getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

void bring_up(benchmark::State& st, CommandRunner& runner, NetworkJournal* journal, bool tear_down) {
  for (auto _ : st) {
    auto state = configure_tun_network(runner, kAlias, "vpn.example.net", {"192.168.1.1"}, two_addresses(), journal);
    if (!state) {
      st.SkipWithError(state.error().c_str());
      return;
    }
    if (tear_down) teardown_network(runner, kAlias, *state, true);
    if (journal != nullptr) journal->remove();
  }
}

void BM_BringUpInProcess(benchmark::State& st) {
  InstantRunner runner;
  bring_up(st, runner, nullptr, false);
}
void BM_BringUpInProcessJournaled(benchmark::State& st) {
  InstantRunner runner;
  NetworkJournal journal((scratch() / "in-process.journal").string());
  bring_up(st, runner, &journal, false);
}

// netsim as route, netsh and powershell.exe on PATH, with the engine's adapter
// owned by this process; each iteration brings the network up and tears it down.
bool netsim_world() {
  static const bool ready = [] {
    const fs::path bin = fs::path(*platform::current_executable_path()).parent_path();
    const fs::path tools = scratch() / "tools";
    fs::create_directories(tools);
    for (const char* tool : {"route", "netsh", "powershell.exe"}) {
      fs::copy_file(bin / "netsim", tools / tool, fs::copy_options::overwrite_existing);
    }
    const std::string state = (scratch() / "net.json").string();
    ::setenv("BRENMOOR_NETSIM", state.c_str(), 1);
    ::setenv("PATH", (tools.string() + ":" + std::getenv("PATH")).c_str(), 1);
    const std::string netsim = (bin / "netsim").string();
    return std::system((netsim + " init-typical").c_str()) == 0 &&
           std::system((netsim + " add-engine-adapter '" + std::string(kAlias) + "' --owner " +
                        std::to_string(::getpid()))
                           .c_str()) == 0;
  }();
  return ready;
}

void BM_BringUpNetsim(benchmark::State& st) {
  if (!netsim_world()) return st.SkipWithError("netsim world");
  bring_up(st, system_command_runner(), nullptr, true);
}
void BM_BringUpNetsimJournaled(benchmark::State& st) {
  if (!netsim_world()) return st.SkipWithError("netsim world");
  NetworkJournal journal((scratch() / "netsim.journal").string());
  bring_up(st, system_command_runner(), &journal, true);
}

// One durable write of a typical state: the unit the figures above are made of.
void BM_JournalWrite(benchmark::State& st) {
  NetworkJournal journal((scratch() / "write.journal").string());
  NetworkState s;
  s.ipv4_servers = {"203.0.113.5"};
  s.ipv6_servers = {"2001:db8::5"};
  s.tun_interface_index = "15";
  s.ipv4_gateway = "192.168.1.1";
  s.ipv4_interface_index = "12";
  s.ipv6_gateway = "fe80::1";
  s.ipv6_interface_index = "12";
  s.dns_snapshot = {"192.168.1.1"};
  s.ipv4_split_routes_installed = true;
  for (auto _ : st) journal.record(kAlias, s);
  journal.remove();
}

}  // namespace

BENCHMARK(BM_JournalWrite)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BringUpInProcess)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BringUpInProcessJournaled)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BringUpNetsim)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_BringUpNetsimJournaled)->Unit(benchmark::kMillisecond)->Iterations(20);

BENCHMARK_MAIN();
