#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>

#include "platform/ip.h"

namespace brenmoor::platform {
namespace {
// inet_pton wants a NUL-terminated string; a NUL inside the view must not cut it short.
bool parses_as(int family, std::string_view text, unsigned char* out = nullptr) {
  if (text.empty() || text.size() > 64 || text.find('\0') != std::string_view::npos) return false;
  const std::string s(text);
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(family, s.c_str(), out != nullptr ? out : buf) == 1;
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
