// The simulated route, netsh and powershell.exe: arbitrary argument lists (NUL
// separated; the first byte picks the program) against a typical machine must be
// refused or applied, never crash, and always leave a state that still decodes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// The simulator is test tooling outside brenmoor_core, so its sources are compiled in here.
#include "tools/netsim/netsim_ip.cpp"
#include "tools/netsim/netsim_state.cpp"
#include "tools/netsim/netsim_sys_posix.cpp"
#include "tools/netsim/netsim_tools.cpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* kPrograms[] = {"route", "netsh", "powershell.exe"};
  const char* program = kPrograms[data[0] % 3];
  std::vector<std::string> args(1);
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back().push_back(static_cast<char>(data[i]));
    }
  }
  netsim::State state = netsim::typical_state();
  state.faults.push_back({"fd00:ae91::1", netsim::FaultAction::kTentative, 1});
  netsim::ToolResult r = netsim::invoke_tool(state, program, args);
  if (r.unsupported && r.exit_code != netsim::kExitUnsupported) std::abort();
  if (!netsim::parse_state(netsim::serialize_state(state))) std::abort();
  return 0;
}
