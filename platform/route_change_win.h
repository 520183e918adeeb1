// The Windows backend's reading of what a change registration handed back, apart
// from the calls so that tests can feed it the answers of Wine's stubs. Windows only.
#pragma once

#ifndef _WIN32
#error "Windows header included on another platform"
#endif

#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>

namespace brenmoor::platform {

// The handle to keep (and cancel later) from a registration's status and handle:
// nullptr unless the call succeeded and handed one back. Wine 8 answers NO_ERROR
// with no handle and never calls back: no notifications, and nothing to cancel.
HANDLE notification_handle_from_result(DWORD status, HANDLE handle);

}  // namespace brenmoor::platform
