// The lifecycle gate: lets one start, stop or watchdog teardown run at a time and
// blocks everything once the service is stopping. Lock order: the SharedState lock
// is taken before the gate lock, never the reverse; the gate lock is never held
// while waiting for the SharedState lock.
#pragma once

#include <condition_variable>

#include "common/error.h"
#include "common/poison_mutex.h"
#include "platform/clock.h"

namespace brenmoor {

class LifecycleGate;

// Token of the one operation that set busy; releasing it (destruction, on every
// path) clears busy and wakes every waiter.
class [[nodiscard]] LifecycleGuard {
 public:
  explicit LifecycleGuard(LifecycleGate* gate) : gate_(gate) {}
  LifecycleGuard(LifecycleGuard&& o) noexcept : gate_(o.gate_) { o.gate_ = nullptr; }
  LifecycleGuard& operator=(LifecycleGuard&&) = delete;
  LifecycleGuard(const LifecycleGuard&) = delete;
  ~LifecycleGuard() { release(); }
  void release();

 private:
  LifecycleGate* gate_;
};

class LifecycleGate {
 public:
  // Poisoned: "lifecycle_lock_failed"; stopping: "service_stopping"; busy: "service_busy".
  [[nodiscard]] Result<LifecycleGuard> acquire_lifecycle_guard();
  // A poisoned gate counts as stopping / busy.
  bool is_stopping();
  bool is_busy();
  // Sets stopping (never cleared); poison is ignored here.
  void set_stopping();
  // Waits (ignoring poison) until busy is clear or the limit, measured from the call,
  // has passed; returns whether busy is clear.
  bool wait_until_idle(Duration limit);

  PoisonMutex& mutex() { return mutex_; }

 private:
  friend class LifecycleGuard;
  PoisonMutex mutex_;
  std::condition_variable cv_;
  bool busy_ = false;
  bool stopping_ = false;
};

}  // namespace brenmoor
