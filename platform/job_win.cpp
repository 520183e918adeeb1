#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include "platform/job.h"
#include "platform/process_child_win.h"

namespace brenmoor::platform {

struct Job::Impl {
  HANDLE job;
};

Job::Job() noexcept = default;
Job::Job(Job&& o) noexcept = default;
Job& Job::operator=(Job&& o) noexcept {
  if (this != &o) {
    close();
    impl_ = std::move(o.impl_);
  }
  return *this;
}
Job::~Job() { close(); }

bool Job::valid() const noexcept { return impl_ != nullptr; }

// We hold the only handle to the job, so closing it is what makes the system
// apply JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE to everything inside.
void Job::close() noexcept {
  if (!impl_) return;
  const DWORD saved = GetLastError();
  CloseHandle(impl_->job);
  SetLastError(saved);
  impl_.reset();
}

Result<Job> assign_kill_on_close_job(Process& process) {
  if (!process.valid()) return fail(kJobAssignFailed);
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return fail(kJobCreateFailed);
  // Only the kill-on-close limit: no memory, time, process-count or UI limits.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info)) {
    CloseHandle(job);
    return fail(kJobLimitFailed);
  }
  if (!AssignProcessToJobObject(job, process.child()->process)) {
    CloseHandle(job);
    return fail(kJobAssignFailed);
  }
  Job out;
  try {
    out.impl_ = std::make_unique<Job::Impl>(Job::Impl{job});
  } catch (...) {
    CloseHandle(job);  // kills the child: better than a child outside any job
    return fail(kJobCreateFailed);
  }
  return out;
}

}  // namespace brenmoor::platform
