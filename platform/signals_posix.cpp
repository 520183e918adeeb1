#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <pthread.h>
#include <signal.h>

#include "platform/signals.h"

namespace brenmoor::platform {
namespace {
sigset_t stop_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}
}  // namespace

bool block_stop_signals() {
  const sigset_t set = stop_set();
  return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int wait_stop_signal() {
  const sigset_t set = stop_set();
  int sig = 0;
  if (::sigwait(&set, &sig) != 0) return -1;
  return sig;
}

}  // namespace brenmoor::platform
