// Environment variables as UTF-8 text.
#pragma once

#include <optional>
#include <string>

namespace brenmoor::platform {
// The variable's value, or nullopt when unset or not valid Unicode.
std::optional<std::string> get_env(const char* name);
}  // namespace brenmoor::platform
