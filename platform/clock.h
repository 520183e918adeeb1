// Time sources. The logic takes a Clock so that long timers (lease watchdog,
// guard cycles, back-offs) run on an injected clock in tests.
#pragma once

#include <chrono>
#include <cstdint>

namespace brenmoor {

using MonoClock = std::chrono::steady_clock;
using MonoTime = MonoClock::time_point;
using Duration = std::chrono::nanoseconds;

struct WallTime {
  std::int64_t unix_seconds = 0;  // seconds since 1970-01-01T00:00:00Z
  std::uint32_t nanos = 0;        // 0..999'999'999
};

namespace platform {
// UTC from the system clock; Windows gives 100 ns steps, POSIX nanoseconds.
WallTime wall_now();
}  // namespace platform

class Clock {
 public:
  virtual ~Clock() = default;
  virtual MonoTime now() = 0;
  virtual void sleep_for(Duration d) = 0;
};

// The process-wide real clock (steady clock, real sleeps).
Clock& system_clock();

}  // namespace brenmoor
