// Stop signals on the dev host (POSIX only): SIGTERM and SIGINT are taken by one
// thread with sigwait, never by a handler, so the reaction may lock and connect.
#pragma once
#ifdef _WIN32
#error "POSIX-only header"
#endif

namespace brenmoor::platform {

// Blocks SIGTERM and SIGINT in the calling thread. Call it before any other thread
// starts: threads inherit the mask, so then no thread takes the signals by surprise.
// False when the mask cannot be set.
bool block_stop_signals();

// Waits for the next SIGTERM or SIGINT (which must be blocked); returns its number,
// or -1 when waiting failed.
int wait_stop_signal();

}  // namespace brenmoor::platform
