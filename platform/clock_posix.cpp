#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <time.h>

#include "platform/clock.h"

namespace brenmoor::platform {
WallTime wall_now() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return WallTime{static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec)};
}
}  // namespace brenmoor::platform
