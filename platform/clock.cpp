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
  static SystemClock clock;
  return clock;
}
}  // namespace brenmoor
