// The simulated network's state-file decoder: any bytes must give a state or an
// error, never a crash; a decoded state must survive its own round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// The simulator is test tooling outside brenmoor_core, so its sources are compiled in here.
#include "tools/netsim/netsim_ip.cpp"
#include "tools/netsim/netsim_state.cpp"
#include "tools/netsim/netsim_sys_posix.cpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto state = netsim::parse_state(text);
  if (!state) return 0;
  std::string once = netsim::serialize_state(*state);
  auto again = netsim::parse_state(once);
  if (!again) std::abort();
  if (netsim::serialize_state(*again) != once) std::abort();
  if (netsim::dump_state(*again) != netsim::dump_state(*state)) std::abort();
  (void)netsim::show_state(*state);
  return 0;
}
