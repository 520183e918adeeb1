// Fuzzes the hosts-file reader of the dev host's resolver. Input: the name up to the
// first newline, the file after it. Beyond "no crash": every address returned is a
// literal of its family in the one text form, and the name's case does not matter.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ip.h"
#include "platform/resolver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  const std::string_view host = input.substr(0, newline);
  const std::string_view text = input.substr(newline + 1);
  const auto found = brenmoor::platform::hosts_file_addresses(text, host);
  for (const auto& a : found) {
    const auto parsed = brenmoor::platform::parse_ip_literal(a.text);
    if (!parsed || parsed->is_ipv6 != a.is_ipv6 || brenmoor::platform::format_ip(*parsed) != a.text) __builtin_trap();
  }
  std::string upper(host);
  for (char& c : upper) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  if (brenmoor::platform::hosts_file_addresses(text, upper) != found) __builtin_trap();
  return 0;
}
