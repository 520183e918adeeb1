#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include "platform/clock.h"

namespace brenmoor::platform {
WallTime wall_now() {
  FILETIME ft{};
  GetSystemTimePreciseAsFileTime(&ft);
  // 100 ns intervals since 1601-01-01; 11644473600 s separate that from 1970.
  const std::uint64_t ticks = (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  const std::uint64_t since_1601 = ticks / 10'000'000ULL;
  return WallTime{static_cast<std::int64_t>(since_1601) - 11'644'473'600LL,
                  static_cast<std::uint32_t>((ticks % 10'000'000ULL) * 100ULL)};
}
}  // namespace brenmoor::platform
