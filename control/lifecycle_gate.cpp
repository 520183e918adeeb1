#include "control/lifecycle_gate.h"

#include <utility>

namespace brenmoor {

void LifecycleGuard::release() {
  if (gate_ == nullptr) return;
  LifecycleGate* gate = std::exchange(gate_, nullptr);
  {
    std::lock_guard<std::mutex> lock(gate->mutex_.native());
    gate->busy_ = false;
  }
  gate->cv_.notify_all();
}

Result<LifecycleGuard> LifecycleGate::acquire_lifecycle_guard() {
  PoisonLock lock(mutex_);
  if (lock.poisoned()) return fail("lifecycle_lock_failed");
  if (stopping_) return fail("service_stopping");
  if (busy_) return fail("service_busy");
  busy_ = true;
  return LifecycleGuard(this);
}

bool LifecycleGate::is_stopping() {
  PoisonLock lock(mutex_);
  return lock.poisoned() || stopping_;
}

bool LifecycleGate::is_busy() {
  PoisonLock lock(mutex_);
  return lock.poisoned() || busy_;
}

void LifecycleGate::set_stopping() {
  PoisonLock lock(mutex_);
  stopping_ = true;
}

bool LifecycleGate::wait_until_idle(Duration limit) {
  PoisonLock lock(mutex_);
  return cv_.wait_for(lock.native(), limit, [this] { return !busy_; });
}

}  // namespace brenmoor
