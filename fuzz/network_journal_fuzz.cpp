// The journal reader at service start: a file anyone with access to the folder
// may have cut, corrupted or edited. Whatever it accepts must be exactly what the
// writer produces for that state, and the teardown built from it must carry no
// byte that could act as syntax on a route, netsh or PowerShell command line.
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
  for (const auto& c : brenmoor::teardown_commands(content->state, content->alias, true)) {
    if (c.program == "powershell.exe") continue;  // the fixed cleanup script, alias as a literal
    for (const auto& arg : c.args) check(plain_argument(arg));
  }
  for (const auto& c : brenmoor::dns_restore_commands(content->state.dns_snapshot, content->alias)) {
    for (const auto& arg : c.args) check(plain_argument(arg));
  }
  return 0;
}
