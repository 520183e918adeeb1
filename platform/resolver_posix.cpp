#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "platform/dir.h"
#include "platform/paths.h"
#include "platform/resolver.h"

namespace brenmoor::platform {

Result<std::vector<ResolvedAddress>> resolve_host(std::string_view host, std::string_view port) {
  if (host.empty() || host.find('\0') != std::string_view::npos || port.find('\0') != std::string_view::npos) {
    return fail(kResolveFailed);
  }
  // The dev host's stand-in for the Windows hosts file: tests give a name the
  // answer a DNS server of someone else's could give.
  if (auto hosts = read_whole_file(join_path(host_root(), "Windows/System32/drivers/etc/hosts"))) {
    auto listed = hosts_file_addresses(*hosts, host);
    if (!listed.empty()) return listed;
  }
  const std::string h(host), p(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(h.c_str(), p.c_str(), &hints, &list) != 0) return fail(kResolveFailed);
  std::vector<ResolvedAddress> out;
  char text[INET6_ADDRSTRLEN];
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      const auto* sa = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
      if (::inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text) != nullptr) out.push_back({false, text});
    } else if (ai->ai_family == AF_INET6) {
      const auto* sa = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
      if (::inet_ntop(AF_INET6, &sa->sin6_addr, text, sizeof text) != nullptr) out.push_back({true, text});
    }
  }
  ::freeaddrinfo(list);
  return out;
}

}  // namespace brenmoor::platform
