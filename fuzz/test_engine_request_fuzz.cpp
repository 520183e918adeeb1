// Fuzzes the stand-in engine's input parsers: the request head it reads from
// the service and the fault-knob list it reads from its environment. The fuzz
// build leaves tools/ out, so their two sources are compiled in here.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/test-engine/faults.cpp"
#include "tools/test-engine/http.cpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brenmoor::test_engine;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  auto head = parse_request_head(input);
  if (head) {
    if (head->method.empty() || head->target.empty() || head->target.front() != '/') std::abort();
    if (head->version != "HTTP/1.0" && head->version != "HTTP/1.1") std::abort();
    if (head->content_length > kMaxBodyBytes) std::abort();
    if (format_reply(head->version, 200, input).find("\r\n\r\n") == std::string::npos) std::abort();
  }

  auto faults = parse_faults(input);
  if (faults) {
    for (std::string_view e : kEndpoints) {
      EndpointFaults f = faults->for_endpoint(e);
      if (f.delay_ms < 0 || f.trickle_ms < 0) std::abort();
    }
  }
  return 0;
}
