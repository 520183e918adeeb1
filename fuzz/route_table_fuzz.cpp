// The dev host's reader of netsim's state file and the route choice over what it
// read, plus the canonical address text: any bytes must give a table whose
// invariants hold (or none), a choice among its own routes, and never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/ip.h"
#include "platform/route_choice.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace brenmoor::platform;

  // Canonical text is a fixed point and means the same address.
  if (auto canonical = canonical_ip_text(text)) {
    check(canonical_ip_text(*canonical) == canonical);
    check(parse_ip_literal(*canonical) == parse_ip_literal(text));
  }

  auto table = parse_route_table_json(text);
  if (!table) return 0;
  for (const auto& r : table->routes) {
    check(r.prefix_length >= 0 && r.prefix_length <= (r.prefix.is_ipv6 ? 128 : 32));
    check(r.next_hop.is_ipv6 == r.prefix.is_ipv6);
  }
  for (const char* destination : {"5.180.20.10", "2001:db8::5", "0.0.0.0", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}) {
    const IpAddress d = *parse_ip_literal(destination);
    auto best = choose_best_route(*table, d);
    if (!best) continue;
    bool listed = false;
    for (const auto& r : table->routes) {
      listed = listed || (r.active_store && r.interface_index == best->interface_index && r.next_hop == best->next_hop);
    }
    check(listed);
    check(best->next_hop.is_ipv6 == d.is_ipv6);
  }
  return 0;
}
