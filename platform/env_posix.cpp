#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <cstdlib>

#include "common/utf8.h"
#include "platform/env.h"

namespace brenmoor::platform {
std::optional<std::string> get_env(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  std::string s(v);
  if (!is_valid_utf8(s)) return std::nullopt;
  return s;
}
}  // namespace brenmoor::platform
