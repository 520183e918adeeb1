#include "service/version.h"

namespace brenmoor {

// Defined for this file only, so a version change rebuilds one object.
std::string_view service_version() { return BRENMOOR_VERSION; }

}  // namespace brenmoor
