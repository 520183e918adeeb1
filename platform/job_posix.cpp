#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <signal.h>

#include "platform/job.h"
#include "platform/process_child_posix.h"

namespace brenmoor::platform {

// The child made itself leader of its own process group before its program
// started, so the group id is its pid. Holding the child keeps it unreaped, and so
// keeps that id from being reused, until the group has been killed.
struct Job::Impl {
  std::shared_ptr<ChildHandle> child;
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

void Job::close() noexcept {
  if (!impl_) return;
  if (impl_->child) ::kill(-impl_->child->pid, SIGKILL);
  impl_.reset();
}

struct JobAccess {
  static Status attach(Job& job, const Process& process) {
    if (!process.valid()) return fail(kJobAssignFailed);
    job.impl_->child = process.child();
    return {};
  }
  static Status reserve(Job& job) {
    try {
      job.impl_ = std::make_unique<Job::Impl>();
    } catch (...) {
      return fail(kJobCreateFailed);
    }
    return {};
  }
};

// The child made its group before it executed its program (process_posix.cpp), so it
// is in its "job" from its first instruction. The Job is allocated first: once the
// child exists, nothing is left that could fail.
Result<ProcessInJob> spawn_in_kill_on_close_job(const SpawnOptions& options, bool /*use_job_list*/) {
  ProcessInJob out;
  if (auto reserved = JobAccess::reserve(out.job); !reserved) return std::unexpected(reserved.error());
  auto process = spawn_process(options);
  if (!process) return std::unexpected(process.error());
  out.process = std::move(*process);
  (void)JobAccess::attach(out.job, out.process);
  return out;
}

Result<Job> assign_kill_on_close_job(Process& process) {
  if (!process.valid()) return fail(kJobAssignFailed);
  Job job;
  try {
    job.impl_ = std::make_unique<Job::Impl>(Job::Impl{process.child()});
  } catch (...) {
    return fail(kJobCreateFailed);
  }
  return job;
}

}  // namespace brenmoor::platform
