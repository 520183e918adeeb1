#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

#include "platform/resolver.h"
#include "platform/wide.h"
#include "platform/winsock_win.h"

namespace brenmoor::platform {
Result<std::vector<ResolvedAddress>> resolve_host(std::string_view host, std::string_view port) {
  if (host.empty() || host.find('\0') != std::string_view::npos || port.find('\0') != std::string_view::npos) {
    return fail(kResolveFailed);
  }
  if (!winsock_ready()) return fail(kResolveFailed);
  const std::wstring h = widen(host), p = widen(port);
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* list = nullptr;
  if (GetAddrInfoW(h.c_str(), p.c_str(), &hints, &list) != 0) return fail(kResolveFailed);
  std::vector<ResolvedAddress> out;
  wchar_t text[INET6_ADDRSTRLEN];
  for (const ADDRINFOW* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      auto* sa = reinterpret_cast<sockaddr_in*>(ai->ai_addr);
      if (InetNtopW(AF_INET, &sa->sin_addr, text, INET6_ADDRSTRLEN) != nullptr) out.push_back({false, narrow(text)});
    } else if (ai->ai_family == AF_INET6) {
      auto* sa = reinterpret_cast<sockaddr_in6*>(ai->ai_addr);
      if (InetNtopW(AF_INET6, &sa->sin6_addr, text, INET6_ADDRSTRLEN) != nullptr) out.push_back({true, narrow(text)});
    }
  }
  FreeAddrInfoW(list);
  return out;
}

}  // namespace brenmoor::platform
