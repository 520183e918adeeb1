// The service's version, as the build states it (the project version in CMake).
#pragma once

#include <string_view>

namespace brenmoor {

std::string_view service_version();

}  // namespace brenmoor
