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
  if (impl_->job != nullptr) CloseHandle(impl_->job);
  SetLastError(saved);
  impl_.reset();
}

struct JobAccess {
  // A new kill-on-close job, owned by the returned Job.
  static Result<Job> create() {
    Job out;
    try {
      out.impl_ = std::make_unique<Job::Impl>(Job::Impl{nullptr});
    } catch (...) {
      return fail(kJobCreateFailed);
    }
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) return fail(kJobCreateFailed);
    out.impl_->job = job;
    // Only the kill-on-close limit: no memory, time, process-count or UI limits.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info)) {
      return fail(kJobLimitFailed);  // out closes the job
    }
    return out;
  }
  static HANDLE native(const Job& job) { return job.impl_->job; }
};

Result<Job> assign_kill_on_close_job(Process& process) {
  if (!process.valid()) return fail(kJobAssignFailed);
  auto job = JobAccess::create();
  if (!job) return std::unexpected(job.error());
  if (!AssignProcessToJobObject(JobAccess::native(*job), process.child()->process)) return fail(kJobAssignFailed);
  return job;
}

Result<ProcessInJob> spawn_in_kill_on_close_job(const SpawnOptions& options, bool use_job_list) {
  auto job = JobAccess::create();
  if (!job) return std::unexpected(job.error());
  JobLaunch launch;
  launch.job = JobAccess::native(*job);
  launch.use_job_list = use_job_list;
  auto process = spawn_process_in_job(options, launch);
  if (!process) return std::unexpected(process.error());
  return ProcessInJob{std::move(*job), std::move(*process),
                      launch.entered_by_attribute ? JobEntry::created_in_job : JobEntry::assigned_while_suspended};
}

}  // namespace brenmoor::platform
