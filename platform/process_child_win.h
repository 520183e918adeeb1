// Backend-only (process_win.cpp, job_win.cpp): the child's process handle.
#pragma once
#ifndef _WIN32
#error "Windows-only header"
#endif

#include <windows.h>

namespace brenmoor::platform {

struct ChildHandle {
  ChildHandle(HANDLE h, DWORD id) : process(h), pid(id) {}
  ChildHandle(const ChildHandle&) = delete;
  ChildHandle& operator=(const ChildHandle&) = delete;
  ~ChildHandle() { CloseHandle(process); }
  const HANDLE process;
  const DWORD pid;
};

}  // namespace brenmoor::platform
