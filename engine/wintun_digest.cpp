// The one place the expected wintun.dll digest is compiled in. It stands alone in
// its object file so that a test build of the Windows service can link its own
// definition (the stand-in fixture's digest) ahead of this one.
#include "engine/validate_start.h"

#ifndef BRENMOOR_WINTUN_SHA256
#error "BRENMOOR_WINTUN_SHA256 must be defined by the build"
#endif

namespace brenmoor {
std::string_view expected_wintun_sha256() { return BRENMOOR_WINTUN_SHA256; }
}  // namespace brenmoor
