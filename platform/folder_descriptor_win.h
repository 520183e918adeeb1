// What the data folder's descriptor allows, read from the descriptor the system
// returns. Windows only; pure functions, so the tests can hand them descriptors the
// system parsed from SDDL texts.
#pragma once

#ifndef _WIN32
#error "Windows-only header"
#endif

#include <windows.h>

namespace brenmoor::platform {

// LocalSystem or the built-in Administrators.
bool is_system_or_administrators(PSID sid);

// True when an allow entry of the DACL gives anybody but LocalSystem, Administrators and
// `service_account` (may be null; the account the service runs as) a right to write,
// create or delete in the folder or to change its permissions or owner (generic rights
// included); a missing (NULL) DACL allows everybody everything. Deny entries are
// ignored: they only ever take rights away.
bool descriptor_lets_others_write(PSECURITY_DESCRIPTOR sd, PSID service_account = nullptr);

// True when the DACL is protected (nothing inherited from the parent) and every entry
// allows LocalSystem or Administrators only: what kDataFolderDescriptor is, give or
// take the order or mask of those entries.
bool descriptor_is_ours(PSECURITY_DESCRIPTOR sd);

}  // namespace brenmoor::platform
