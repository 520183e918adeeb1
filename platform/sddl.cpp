#include "platform/sddl.h"

#include <cstdint>

namespace brenmoor {
namespace {

// Decimal digits only, no sign, value <= max. Leading zeros are accepted, as the
// system's SID parser accepts them.
bool decimal_at_most(std::string_view text, std::uint64_t max) {
  if (text.empty() || text.size() > 20) return false;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t d = static_cast<std::uint64_t>(c - '0');
    if (v > (max - d) / 10) return false;
    v = v * 10 + d;
  }
  return true;
}

}  // namespace

bool is_well_formed_sid(std::string_view sid) {
  if (sid.substr(0, 2) != "S-") return false;
  std::string_view rest = sid.substr(2);
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t dash = rest.find('-');
    parts.push_back(rest.substr(0, dash));
    if (dash == std::string_view::npos) break;
    rest = rest.substr(dash + 1);
  }
  // revision, authority, then the sub-authorities.
  if (parts.size() < 2 || parts.size() > 2 + 15) return false;
  if (parts[0] != "1") return false;
  if (!decimal_at_most(parts[1], (std::uint64_t{1} << 48) - 1)) return false;
  for (std::size_t i = 2; i < parts.size(); ++i)
    if (!decimal_at_most(parts[i], 0xFFFFFFFFu)) return false;
  return true;
}

std::optional<std::vector<std::string>> parse_descriptor_trustees(std::string_view sddl) {
  constexpr std::string_view kHead = "D:P";
  constexpr std::string_view kAceHead = "(A;;";
  if (sddl.substr(0, kHead.size()) != kHead) return std::nullopt;
  std::string_view rest = sddl.substr(kHead.size());
  std::vector<std::string> trustees;
  while (!rest.empty()) {
    if (rest.substr(0, kAceHead.size()) != kAceHead) return std::nullopt;
    rest = rest.substr(kAceHead.size());
    const std::size_t rights_end = rest.find(";;;");
    if (rights_end == std::string_view::npos) return std::nullopt;
    const std::string_view rights = rest.substr(0, rights_end);
    if (rights != "GA" && rights != "0x12019b") return std::nullopt;
    rest = rest.substr(rights_end + 3);
    const std::size_t close = rest.find(')');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view trustee = rest.substr(0, close);
    if (trustee != "SY" && trustee != "BA" && !is_well_formed_sid(trustee)) return std::nullopt;
    trustees.emplace_back(trustee);
    rest = rest.substr(close + 1);
  }
  if (trustees.empty()) return std::nullopt;
  return trustees;
}

}  // namespace brenmoor
