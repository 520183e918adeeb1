// Backend-only (process_win.cpp, job_win.cpp): the child's process handle, and the
// creation of a child inside a job.
#pragma once
#ifndef _WIN32
#error "Windows-only header"
#endif

#include <windows.h>

#include "platform/process.h"

namespace brenmoor::platform {

struct ChildHandle {
  ChildHandle(HANDLE h, DWORD id) : process(h), pid(id) {}
  ChildHandle(const ChildHandle&) = delete;
  ChildHandle& operator=(const ChildHandle&) = delete;
  ~ChildHandle() { CloseHandle(process); }
  const HANDLE process;
  const DWORD pid;
};

// A job a child is to be created in. job == nullptr: an ordinary spawn_process.
struct JobLaunch {
  HANDLE job = nullptr;       // not owned
  bool use_job_list = true;   // false: go straight to the suspended assignment (tests)
  bool entered_by_attribute = false;  // out: PROC_THREAD_ATTRIBUTE_JOB_LIST put it there
};

// spawn_process, with the child in launch.job before it runs a single instruction:
// created there by PROC_THREAD_ATTRIBUTE_JOB_LIST where the system supports it,
// else created suspended, assigned and resumed. On failure no child is left.
// Errors: those of spawn_process, kJobAssignFailed.
[[nodiscard]] Result<Process> spawn_process_in_job(const SpawnOptions& options, JobLaunch& launch);

}  // namespace brenmoor::platform
