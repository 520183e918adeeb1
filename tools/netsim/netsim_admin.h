// The `netsim` administration commands (README.md documents them).
#pragma once

#include <string>
#include <vector>

namespace netsim {

// args excludes the program name. Returns the process exit code: 0 success, 1 a
// negative answer (diff found differences, nothing to drop), 2 usage or state errors.
int run_admin(const std::vector<std::string>& args);

}  // namespace netsim
