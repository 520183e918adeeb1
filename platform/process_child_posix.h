// Backend-only (process_posix.cpp, job_posix.cpp): the child shared by a Process
// and the Job it was put in.
#pragma once
#ifdef _WIN32
#error "POSIX-only header"
#endif

#include <sys/types.h>

namespace brenmoor::platform {

// Keeps the child unreaped while any owner remains, so that its pid, which is
// also its process group id, cannot be given to another process meanwhile: a
// Job's group kill then never reaches a stranger. The last owner reaps it; a child
// still running at that point is handed to the spawner thread, which reaps it
// when it ends.
struct ChildHandle {
  explicit ChildHandle(pid_t p) : pid(p) {}
  ChildHandle(const ChildHandle&) = delete;
  ChildHandle& operator=(const ChildHandle&) = delete;
  ~ChildHandle();
  const pid_t pid;
};

}  // namespace brenmoor::platform
