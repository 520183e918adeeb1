// The journal reader at service start: a file anyone with access to the folder
// may have cut, corrupted or edited. Whatever it accepts must be exactly what the
// writer produces for that state, and the teardown built from it must carry no
// byte that could act as syntax on a route, netsh or PowerShell command line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "network/journal.h"
#include "network/routes.h"

namespace {

constexpr std::string_view kAlias = "Brenmoor Device Path";

void check(bool ok) {
  if (!ok) __builtin_trap();
}

bool plain_argument(std::string_view arg) {
  for (char c : arg) {
    const bool letter = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && std::string_view(".:/=- ").find(c) == std::string_view::npos) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto content = brenmoor::parse_network_journal(text, kAlias);
  if (!content) {
    check(content.error().starts_with("journal_malformed:"));
    return 0;
  }
  check(content->alias == kAlias);
  check(brenmoor::format_network_journal(content->alias, content->state) == text);
  // What the writer can produce and nothing a forged journal could aim elsewhere: the
  // TUN adapter is never a physical path, and the ledger names only the session's
  // own servers, within the bound the writer keeps to.
  const brenmoor::NetworkState& s = content->state;
  check(s.tun_interface_index != s.ipv4_interface_index && s.tun_interface_index != s.ipv6_interface_index);
  check(s.ipv4_servers.size() <= brenmoor::kJournalServerLimit && s.ipv6_servers.size() <= brenmoor::kJournalServerLimit);
  check(s.dns_snapshot.size() <= brenmoor::kJournalDnsLimit);
  check(s.bypass_routes.size() <= brenmoor::kBypassLedgerLimit);
  for (const auto& r : s.bypass_routes) {
    const auto& servers = r.is_ipv6 ? s.ipv6_servers : s.ipv4_servers;
    check(std::find(servers.begin(), servers.end(), r.target) != servers.end());
    check(r.interface_index != s.tun_interface_index);
  }
  for (const auto& c : brenmoor::teardown_commands(content->state, content->alias, true)) {
    if (c.program == "powershell.exe") continue;  // the fixed cleanup script, alias as a literal
    for (const auto& arg : c.args) check(plain_argument(arg));
  }
  for (const auto& c : brenmoor::dns_restore_commands(content->state.dns_snapshot, content->alias)) {
    for (const auto& arg : c.args) check(plain_argument(arg));
  }
  return 0;
}
