// Any bytes a pipe client can send go through decode_request; whatever it
// returns must also encode cleanly when echoed into a response.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "control/records.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto request = brenmoor::decode_request(bytes);
  if (request) {
    brenmoor::ServiceResponse r;
    r.success = true;
    r.state = "idle";
    r.session_token = request->session_token;  // decoded text is UTF-8, so this must encode
    if (!brenmoor::encode_response(r)) __builtin_trap();
  }
  (void)brenmoor::decode_carrier_status(bytes);
  auto status = brenmoor::decode_datagram_status(bytes);
  if (status) {
    brenmoor::ServiceResponse r = brenmoor::error_response("x");
    r.datagram = *status;
    if (!brenmoor::encode_response(r)) __builtin_trap();
  }
  return 0;
}
