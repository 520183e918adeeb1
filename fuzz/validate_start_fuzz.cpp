// Fuzzes the start request's configuration checks. Input: the server address up
// to the first newline, the configuration text after it. Beyond "no crash", the
// result must be one of the checks' own codes, must not depend on surrounding
// white space, and an accepted configuration must be bound to its address.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "engine/validate_start.h"

namespace {

const std::set<std::string>& known_codes() {
  static const std::set<std::string> codes = {
      "config_too_large",        "server_address_invalid",   "config_invalid",
      "config_shape_invalid",    "config_section_invalid",   "config_inbounds_invalid",
      "config_outbounds_invalid", "config_carrier_invalid",  "config_routing_invalid",
      "config_log_invalid"};
  return codes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  const std::string_view address = newline == std::string_view::npos ? std::string_view() : input.substr(0, newline);
  const std::string config(newline == std::string_view::npos ? input : input.substr(newline + 1));

  const auto result = brenmoor::check_start_config(config, address);
  if (!result && known_codes().count(result.error()) == 0) __builtin_trap();
  if (!result && result.error() == "server_address_invalid" && brenmoor::is_valid_server_address(address)) {
    __builtin_trap();
  }

  // JSON white space around the document changes nothing.
  if (config.size() + 2 <= brenmoor::kMaxConfigBytes) {
    const auto spaced = brenmoor::check_start_config(" " + config + "\n", address);
    if (spaced.has_value() != result.has_value()) __builtin_trap();
    if (!spaced && spaced.error() != result.error()) __builtin_trap();
  }

  // The proxy's first server must be the request's address, byte for byte.
  if (result) {
    const std::string other = address == "other.example.net" ? "another.example.net" : "other.example.net";
    const auto moved = brenmoor::check_start_config(config, other);
    if (moved || moved.error() != "config_outbounds_invalid") __builtin_trap();
  }
  return 0;
}
