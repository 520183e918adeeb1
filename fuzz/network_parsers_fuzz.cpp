// The parsers of PowerShell output: path lines, the address inventory and the line
// rule under them. Any bytes (the runner hands them over after lossy UTF-8
// decoding, but the parsers must not rely on that) must give a result whose
// invariants hold, and never crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "network/command_runner.h"
#include "network/tun_network.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Length of the PowerShell quote character at s[i] (' or U+2018..U+201B), or 0.
std::size_t quote_at(std::string_view s, std::size_t i) {
  if (s[i] == '\'') return 1;
  if (i + 2 < s.size() && static_cast<unsigned char>(s[i]) == 0xE2 && static_cast<unsigned char>(s[i + 1]) == 0x80 &&
      static_cast<unsigned char>(s[i + 2]) >= 0x98 && static_cast<unsigned char>(s[i + 2]) <= 0x9B) {
    return 3;
  }
  return 0;
}

// Reads a single-quoted literal as PowerShell's tokenizer does: a quote character
// followed by another one stands for the second; a lone one ends the literal.
// False when the literal ends before the last byte.
bool read_literal(std::string_view lit, std::string& out) {
  std::size_t i = 1;
  while (i < lit.size()) {
    if (std::size_t q = quote_at(lit, i)) {
      std::size_t next = i + q;
      if (next < lit.size()) {
        if (std::size_t q2 = quote_at(lit, next)) {
          out.append(lit.substr(next, q2));
          i = next + q2;
          continue;
        }
      }
      return next == lit.size();
    }
    out.push_back(lit[i++]);
  }
  return false;
}

void exercise(std::string_view text) {
  for (auto line : brenmoor::output_lines(text)) {
    check(!line.empty());
    check(line.find('\n') == std::string_view::npos);
    check(brenmoor::trim_white_space(line) == line);  // already trimmed
  }
  auto first = brenmoor::parse_default_path(text);
  if (first) {
    check(!first->next_hop.empty() && !first->interface_index.empty());
    check(first->next_hop.find(',') == std::string::npos && first->interface_index.find(',') == std::string::npos);
  } else {
    check(first.error() == "default_route_missing");
  }
  for (const auto& p : brenmoor::parse_physical_paths(text)) {
    check(!p.next_hop.empty() && !p.interface_index.empty());
    check(p.next_hop.find('\n') == std::string::npos);
  }
  const auto ranges = brenmoor::occupied_ranges(text, "15");
  for (const auto& r : ranges) check(r.first <= r.last);
  auto chosen = brenmoor::choose_tun_ipv4(ranges);
  if (chosen) {
    bool known = false;
    for (auto c : brenmoor::kTunIpv4Candidates) known = known || c == *chosen;
    check(known);
  }
  // Quoting: the literal always reads back as the text (PowerShell's rule: a quote
  // character followed by another one is one literal quote).
  const std::string lit = brenmoor::ps_literal(text);
  std::string back;
  check(read_literal(lit, back));
  check(back == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  exercise(raw);
  exercise(brenmoor::utf8_lossy(raw));
  return 0;
}
