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
bool parses_as(int family, std::string_view text) {
  if (text.empty() || text.size() > 64 || text.find('\0') != std::string_view::npos) return false;
  const std::string s(text);
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(family, s.c_str(), buf) == 1;
}
}  // namespace

bool is_ipv4_literal(std::string_view text) { return parses_as(AF_INET, text); }
bool is_ipv6_literal(std::string_view text) { return parses_as(AF_INET6, text); }
bool is_ip_literal(std::string_view text) { return is_ipv4_literal(text) || is_ipv6_literal(text); }

}  // namespace brenmoor::platform
