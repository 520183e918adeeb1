#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <winsock2.h>

#include "platform/winsock_win.h"

namespace brenmoor::platform {
bool winsock_ready() {
  // A function-local static is initialised exactly once, even with racing threads.
  static const bool ready = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return ready;
}
}  // namespace brenmoor::platform
