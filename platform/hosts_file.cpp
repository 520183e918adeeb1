#include <string>

#include "platform/ip.h"
#include "platform/resolver.h"

namespace brenmoor::platform {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

std::vector<ResolvedAddress> hosts_file_addresses(std::string_view text, std::string_view host) {
  std::vector<ResolvedAddress> out;
  if (host.empty()) return out;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = line.substr(0, line.find('#'));
    std::optional<IpAddress> address;
    bool first = true;
    while (!line.empty()) {
      std::size_t at = 0;
      while (at < line.size() && is_space(line[at])) ++at;
      std::size_t stop = at;
      while (stop < line.size() && !is_space(line[stop])) ++stop;
      const std::string_view word = line.substr(at, stop - at);
      line = line.substr(stop);
      if (word.empty()) break;
      if (first) {
        address = parse_ip_literal(word);
        first = false;
        if (!address) break;
      } else if (same_name(word, host)) {
        out.push_back({address->is_ipv6, format_ip(*address)});
        break;
      }
    }
  }
  return out;
}

}  // namespace brenmoor::platform
