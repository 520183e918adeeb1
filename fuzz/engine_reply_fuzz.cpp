// Fuzzes the engine reply parser: any bytes must give a reply or
// engine_response_invalid, and a reply's body must be valid UTF-8 that the
// parser returns unchanged when fed its own lossy decoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/utf8.h"
#include "engine/engine_client.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  auto reply = brenmoor::parse_engine_reply(input);
  if (!reply) {
    if (reply.error() != "engine_response_invalid") std::abort();
    return 0;
  }
  if (!brenmoor::is_valid_utf8(reply->body)) std::abort();
  // Decoding is done once, before parsing: parsing the decoded text again agrees.
  auto again = brenmoor::parse_engine_reply(brenmoor::utf8_lossy(input));
  if (!again || again->status != reply->status || again->body != reply->body) std::abort();
  return 0;
}
