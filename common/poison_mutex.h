// A mutex that remembers a holder that ended abnormally. For us "abnormally" is an
// exception unwinding through the scope that holds the lock; the mark is never cleared.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>

namespace brenmoor {

class PoisonMutex {
 public:
  bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  std::mutex& native() { return mutex_; }
  void mark_poisoned() { poisoned_.store(true, std::memory_order_release); }

 private:
  std::mutex mutex_;
  std::atomic<bool> poisoned_{false};
};

// Holds a PoisonMutex; if the scope is left by an exception the mutex is poisoned.
class PoisonLock {
 public:
  explicit PoisonLock(PoisonMutex& m)
      : mutex_(&m), lock_(m.native()), exceptions_(std::uncaught_exceptions()) {}
  PoisonLock(PoisonLock&&) noexcept = default;
  PoisonLock& operator=(PoisonLock&&) noexcept = default;
  ~PoisonLock() {
    if (mutex_ != nullptr && lock_.owns_lock() && std::uncaught_exceptions() > exceptions_) mutex_->mark_poisoned();
  }
  // True when the lock was poisoned before this holder took it.
  bool poisoned() const { return mutex_->poisoned(); }
  void unlock() { lock_.unlock(); }
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  PoisonMutex* mutex_;
  std::unique_lock<std::mutex> lock_;
  int exceptions_;
};

}  // namespace brenmoor
