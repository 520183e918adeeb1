// The bypass route guard's costs: the quiet cycle that runs every 2 seconds for the
// whole of a session (one best-route lookup per server, against a netsim state file
// on the dev host, and no process), one repair of a dropped host route (the commands
// themselves recorded, not run: the service's own cost), and its reaction to a
// network change: from netsim replacing its state file to the guard thread awake.
//   bench_bypass_guard [benchmark flags]
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "control/shared_state.h"
#include "network/bypass_guard.h"
#include "platform/route_change.h"

namespace fs = std::filesystem;
using namespace brenmoor;

namespace {

// Counts what the guard asks of the system: each call would be one process.
class CountingRunner final : public CommandRunner {
 public:
  Status run(const NetworkCommand&) override {
    ++processes;
    return {};
  }
  Result<std::string> run_powershell(std::string_view) override {
    ++processes;
    return std::string("192.168.1.1,12\r\n");
  }
  long processes = 0;
};

class FixedClock final : public Clock {
 public:
  MonoTime now() override { return now_; }
  void sleep_for(Duration d) override { now_ += d; }
  MonoTime now_{};
};

struct NoSessions final : SessionBackend {
  Status validate_start_request(const ServiceRequest&) override { return {}; }
  Result<std::unique_ptr<EngineSession>> start_engine_session(const ServiceRequest&) override {
    return fail("unused");
  }
  void stop_engine_session(std::unique_ptr<EngineSession>) override {}
  bool engine_exited(EngineSession&) override { return false; }
};
struct NoLanes final : LaneHandlers {
  Result<ServiceResponse> handle_carrier_request(SharedState&, const ServiceRequest&) override { return fail("unused"); }
  Result<ServiceResponse> handle_datagram_request(SharedState&, const ServiceRequest&) override {
    return fail("unused");
  }
};

// The typical machine during a session: Ethernet with its default route and the
// server's host route, the engine adapter (owned by us) with the split routes.
constexpr const char* kState =
    R"({"next_interface_index":16,"interfaces":[{"index":1,"alias":"Loopback","ipv4_metric":75,"ipv6_metric":75},)"
    R"({"index":7,"alias":"Wi-Fi","connected":false,"ipv4_metric":35,"ipv6_metric":35},)"
    R"({"index":12,"alias":"Ethernet"},{"index":15,"alias":"Brenmoor Device Path","ipv4_metric":1,"ipv6_metric":1,"owner_pid":OWNER}],)"
    R"("addresses":[],"routes":[{"prefix":"0.0.0.0/0","interface":12,"next_hop":"192.168.1.1"},)"
    R"({"prefix":"192.168.1.0/24","interface":12,"next_hop":"0.0.0.0","metric":256},)"
    R"({"prefix":"::/0","interface":12,"next_hop":"fe80::1","metric":256},)"
    R"({"prefix":"5.180.20.10/32","interface":12,"next_hop":"192.168.1.1","metric":1},)"
    R"({"prefix":"0.0.0.0/1","interface":15,"next_hop":"0.0.0.0","metric":1},)"
    R"({"prefix":"128.0.0.0/1","interface":15,"next_hop":"0.0.0.0","metric":1},)"
    R"({"prefix":"::/1","interface":15,"next_hop":"::","metric":1},)"
    R"({"prefix":"8000::/1","interface":15,"next_hop":"::","metric":1}],"faults":[]})";

struct World {
  World() {
    dir = fs::temp_directory_path() / ("brenmoor-guard-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string text = kState;
    text.replace(text.find("OWNER"), 5, std::to_string(::getpid()));
    std::ofstream(dir / "net.json") << text;
    ::setenv("BRENMOOR_NETSIM", (dir / "net.json").c_str(), 1);
    auto s = std::make_unique<EngineSession>();
    s->session_token = "bench";
    NetworkState& n = s->network_state;
    n.ipv4_servers = {"5.180.20.10"};
    n.tun_interface_index = "15";
    n.ipv4_gateway = "192.168.1.1";
    n.ipv4_interface_index = "12";
    PoisonLock l(state.mutex());
    state.slot() = std::move(s);
  }
  ~World() { fs::remove_all(dir); }
  fs::path dir;
  FixedClock clock;
  LifecycleGate gate;
  NoSessions sessions;
  NoLanes lanes;
  SharedState state{gate, sessions, lanes, clock};
};

// The repair's log lines go to a private host root, not the shared default.
const bool kPrivateHostRoot = [] {
  const fs::path root = fs::temp_directory_path() / ("brenmoor-guard-bench-host-" + std::to_string(::getpid()));
  return ::setenv("BRENMOOR_HOST_ROOT", root.c_str(), 1) == 0;
}();

void BM_QuietGuardCycle(benchmark::State& bench) {
  World world;
  CountingRunner runner;
  GuardCollaborators with{runner, best_route_to};
  GuardLocalState local = GuardLocalState::starting_at(world.clock.now());
  local.last_session_token = "bench";
  local.next_full_check = MonoTime::max();  // the quiet cycle, not the 30 s full check
  for (auto _ : bench) {
    world.clock.sleep_for(kGuardPeriod);
    benchmark::DoNotOptimize(bypass_guard_cycle(world.state, local, with));
  }
  bench.counters["processes"] = static_cast<double>(runner.processes);
  if (local.reported != GuardReport::healthy || runner.processes != 0) bench.SkipWithError("the quiet cycle was not quiet");
}
BENCHMARK(BM_QuietGuardCycle)->Unit(benchmark::kMicrosecond);

void BM_RepairOfADroppedRoute(benchmark::State& bench) {
  CountingRunner runner;
  NetworkState base;
  base.ipv4_servers = {"5.180.20.10"};
  base.tun_interface_index = "15";
  base.ipv4_gateway = "192.168.1.1";
  base.ipv4_interface_index = "12";
  const std::vector<std::string> looped = {"5.180.20.10"};
  const PhysicalPath path{"192.168.1.1", "12"};
  for (auto _ : bench) {
    NetworkState state = base;
    UnconfirmedDeletions unconfirmed;
    benchmark::DoNotOptimize(repair_bypass_routes(runner, IpFamily::ipv4, state, looped, path, unconfirmed));
  }
  bench.counters["processes_per_repair"] = static_cast<double>(runner.processes) / static_cast<double>(bench.iterations());
}
BENCHMARK(BM_RepairOfADroppedRoute)->Unit(benchmark::kMicrosecond);

void BM_RouteChangeReaction(benchmark::State& bench) {
  World world;
  RouteChangeSignal changes;
  const auto watch = platform::RouteChangeWatch::start([&] { changes.notify(); });
  if (!watch.active()) {
    bench.SkipWithError("no route change notifications");
    return;
  }
  const fs::path state = world.dir / "net.json";
  const fs::path tmp = world.dir / "net.json.tmp";
  std::string text;
  {
    std::ifstream in(state);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  long missed = 0;
  for (auto _ : bench) {
    std::ofstream(tmp) << text;  // as netsim saves: a whole new file, renamed over
    fs::rename(tmp, state);
    if (!changes.wait_for(std::chrono::seconds(5))) ++missed;
  }
  if (missed != 0) bench.SkipWithError("a change was not told");
}
BENCHMARK(BM_RouteChangeReaction)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
