#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/ip.h"
#include "platform/wide.h"
#include "platform/winsock_win.h"

namespace brenmoor::platform {
namespace {
// InetPtonW takes a NUL-terminated string; a NUL inside the view must not cut it short.
bool parses_as(int family, std::string_view text, unsigned char* out = nullptr) {
  if (!winsock_ready()) return false;
  if (text.empty() || text.size() > 64 || text.find('\0') != std::string_view::npos) return false;
  for (unsigned char c : text) {
    if (c >= 0x80) return false;  // address literals are ASCII; keeps widen() trivial
  }
  const std::wstring w = widen(text);
  unsigned char buf[sizeof(IN6_ADDR)];
  return InetPtonW(family, w.c_str(), out != nullptr ? out : buf) == 1;
}
}  // namespace

bool is_ipv4_literal(std::string_view text) { return parses_as(AF_INET, text); }
bool is_ipv6_literal(std::string_view text) { return parses_as(AF_INET6, text); }
bool is_ip_literal(std::string_view text) { return is_ipv4_literal(text) || is_ipv6_literal(text); }

std::optional<IpAddress> parse_ip_literal(std::string_view text) {
  IpAddress a;
  if (parses_as(AF_INET, text, a.bytes.data())) return a;
  a.is_ipv6 = true;
  if (parses_as(AF_INET6, text, a.bytes.data())) return a;
  return std::nullopt;
}

}  // namespace brenmoor::platform
