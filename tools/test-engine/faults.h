// Fault knobs of the stand-in engine, read from BRENMOOR_ENGINE_FAULTS: a comma-
// separated list of key=value items (README.md lists them). A malformed list is
// an error: a test that misspells a knob must not silently get a healthy engine.
#pragma once

#include <cstdint>
#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace brenmoor::test_engine {

// The endpoints a knob can name, as "<endpoint>_<knob>=value".
inline constexpr std::string_view kEndpoints[] = {
    "connect",        "disconnect",   "carrier_offer", "carrier_status", "carrier_stop",
    "datagram_start", "datagram_auth", "datagram_stop", "datagram_status",
};

// What one endpoint does differently.
struct EndpointFaults {
  std::optional<int> status;      // answer this status code instead of the real one
  int delay_ms = 0;               // wait this long before answering
  std::string body;               // "", "malformed", "empty", "bare" ({}), "wrong_type"
  std::string reply;              // "", "silent", "close", "no_blank_line", "oversized", "exit"
  int trickle_ms = 0;             // send the reply one byte at a time, this far apart
};

struct EngineFaults {
  bool no_ready = false;                   // never print the readiness line
  int ready_delay_ms = 0;                  // wait before printing it
  std::optional<int> ready_port;           // announce this port instead of the bound one
  std::optional<int> exit_before_ready;    // exit with this code before the readiness line
  std::optional<int> exit_after_ready_ms;  // exit this long after the readiness line
  int exit_code = 0;                       // code of exit_after_ready_ms
  bool no_adapter = false;                 // never create the TUN adapter
  int adapter_delay_ms = 0;                // create it this long after answering /connect
  int adapter_linger_runs = 0;             // leave it at /disconnect; it outlives the engine by this many tool runs
  bool reject_auth = false;                // /datagram/auth counts a rejection and answers 403
  std::map<std::string, EndpointFaults, std::less<>> endpoints;  // "all" applies to every endpoint

  // The knobs in force for one endpoint: its own over those of "all".
  EndpointFaults for_endpoint(std::string_view endpoint) const;
};

std::expected<EngineFaults, std::string> parse_faults(std::string_view text);

}  // namespace brenmoor::test_engine
