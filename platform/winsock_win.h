// Winsock for the Windows backends: started once per process, on first use.
#pragma once
#ifndef _WIN32
#error "Windows-only header"
#endif

namespace brenmoor::platform {
// WSAStartup, once per process; its reference is never released (the process
// needs Winsock until it ends). False when Winsock could not be started.
bool winsock_ready();
}  // namespace brenmoor::platform
