#include "platform/clock.h"

#include <thread>

namespace brenmoor {
namespace {
class SystemClock final : public Clock {
 public:
  MonoTime now() override { return MonoClock::now(); }
  void sleep_for(Duration d) override { std::this_thread::sleep_for(d); }
};
}  // namespace

Clock& system_clock() {
  // Never destroyed: detached service threads (watchdog, connection handlers) may
  // still call it while the process runs its static destructors on the way out.
  static SystemClock* const clock = new SystemClock;
  return *clock;
}
}  // namespace brenmoor
