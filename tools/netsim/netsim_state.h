// The simulated Windows network: its model, the state file that holds it, and the
// calls other test tools use to add and remove an engine's TUN adapter.
//
// The state file (path in $BRENMOOR_NETSIM) is JSON; see README.md for the format.
// Every reader and writer holds an exclusive lock on "$BRENMOOR_NETSIM.lock" for the
// whole load-change-save, so the simulated tools, the admin CLI and an engine may run
// concurrently. Each load first drops the adapters whose owning process is gone, with
// their addresses, routes and DNS, as Windows does for a Wintun adapter.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netsim {

// Adds the engine's TUN adapter `alias` (connected, a fresh interface index, interface metric 25,
// no addresses, DNS empty) owned by process `owner_pid`, in the state file named by $BRENMOOR_NETSIM.
// Returns false with *error set when BRENMOOR_NETSIM is unset or the state cannot be written.
// With `linger_runs`, the adapter outlives its owner by that many tool runs (see Interface).
bool create_engine_adapter(const std::string& alias, long owner_pid, std::string* error, int linger_runs = 0);
// Removes the adapter with its addresses, routes and DNS; false (with *error) when it does not exist.
bool remove_adapter(const std::string& alias, std::string* error);

inline constexpr int kMaxLingerRuns = 1000;

enum class Store { kActive, kPersistent };
enum class AddressState { kPreferred, kTentative };
enum class FaultAction { kFail, kExit1, kHang, kGarbage, kTentative };

struct Interface {
  int index = 0;
  std::string alias;
  bool connected = true;
  int ipv4_metric = 25;
  int ipv6_metric = 25;
  long owner_pid = 0;            // 0: not an engine's adapter
  std::vector<std::string> dns;  // IPv4 servers in order; empty = DHCP default
  // An engine adapter whose owner has ended stays listed for this many more tool
  // runs (route, netsh, powershell.exe), as a Windows adapter still being torn down
  // after its engine was killed; then it goes. Counted in runs, not time, so that a
  // test's outcome does not depend on speed.
  int linger_runs = 0;
};

struct Address {
  std::string address;  // canonical text
  int prefix_length = 0;
  int interface_index = 0;
  Store store = Store::kActive;
  AddressState state = AddressState::kPreferred;
};

struct Route {
  std::string prefix;    // canonical "a/n", host bits zero
  int interface_index = 0;
  std::string next_hop;  // canonical; 0.0.0.0 or :: for on-link
  int metric = 0;        // route metric; the effective metric adds the interface's
  Store store = Store::kActive;
};

struct Fault {
  std::string match;  // substring of the joined command line
  FaultAction action = FaultAction::kFail;
  int count = -1;     // invocations left; -1 = until cleared
};

struct State {
  int next_interface_index = 2;
  std::vector<Interface> interfaces;
  std::vector<Address> addresses;
  std::vector<Route> routes;
  std::vector<Fault> faults;

  Interface* find_interface(int index);
  const Interface* find_interface(int index) const;
  Interface* find_alias(std::string_view alias);
  // Removes the interface and everything on it. False when there is no such index.
  bool remove_interface(int index);
  // A fresh index, never handed out before in this state.
  int allocate_interface_index();
};

std::string_view store_name(Store s);        // "ActiveStore" / "PersistentStore"
std::string_view state_name(AddressState s); // "Preferred" / "Tentative"
std::string_view action_name(FaultAction a); // "fail", "exit1", ...
bool parse_action(std::string_view text, FaultAction* out);

// Strict JSON decoding: wrong types, duplicate or unknown members, dangling interface
// references and malformed addresses are errors (a hand-written state with a typo must
// not half-work).
std::expected<State, std::string> parse_state(std::string_view json);
// One record per line, each compact; parse_state(serialize_state(s)) == s.
std::string serialize_state(const State& state);
// Canonical text for comparisons: sorted, without faults, the index counter and
// owner process ids (see README.md, "dump and diff").
std::string dump_state(const State& state);
// The state as readable tables.
std::string show_state(const State& state);

// A typical machine: loopback (1), Ethernet (12, 192.168.1.23/24 via 192.168.1.1, IPv6
// via fe80::1, DNS 192.168.1.1) and a disconnected Wi-Fi (7); the next adapter gets 15.
State typical_state();

// The route Windows would pick for `destination`, by the same choice the service's
// dev-host best-route lookup makes (platform/route_choice.h). nullopt when the text
// is not an address or no route matches.
struct BestRoute {
  int interface_index = 0;
  std::string next_hop;  // canonical; 0.0.0.0 / :: for on-link
};
std::optional<BestRoute> best_route(const State& state, std::string_view destination);

// A link going down drops that interface's active-store routes; coming back up puts
// its persistent routes into the active store again, as Windows does.
void set_connected(State& state, Interface& interface, bool connected);

// Drops adapters whose owner process has ended; true when something was removed or
// changed. On a tool run an ended owner's lingering adapter counts one run down
// instead (and goes once none is left); other loads leave it as it is.
bool prune_dead_owners(State& state, bool tool_run = false);

// An open, locked state file. The lock is held until the object is destroyed.
class StateFile {
 public:
  // Locks "{path}.lock", reads and prunes the state. A missing file gives an empty state
  // when create_if_missing, else an error. Pruning is written back at once.
  // `tool_run`: the load of a simulated tool's run (prune_dead_owners).
  static std::expected<StateFile, std::string> open(const std::string& path, bool create_if_missing,
                                                    bool tool_run = false);
  StateFile(StateFile&&) noexcept;
  StateFile& operator=(StateFile&&) noexcept;
  ~StateFile();

  State& state() { return state_; }
  bool existed() const { return existed_; }
  // Writes the state (temporary file, then replace), still under the lock.
  std::expected<void, std::string> save();

 private:
  StateFile();
  struct Lock;
  std::unique_ptr<Lock> lock_;
  std::string path_;
  State state_;
  bool existed_ = false;
};

// Path from $BRENMOOR_NETSIM, or an error naming the variable.
std::expected<std::string, std::string> state_path_from_env();

}  // namespace netsim
