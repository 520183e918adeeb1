// Kill-on-close process container. A new Job is made for every child and never
// shared or reused; closing it (or destroying it) ends every process still in it.
//
// Windows: a job object with only JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE; closing the
// last handle makes the system terminate everything in the job, including
// processes the child started after it was assigned.
// POSIX: the child's own process group (made at spawn). Closing sends SIGKILL to
// the whole group; descendants that left the group (setsid/setpgid) are out of
// reach, as processes that break away from a job are on Windows.
#pragma once

#include <memory>
#include <string_view>

#include "common/error.h"
#include "platform/process.h"

namespace brenmoor::platform {

inline constexpr std::string_view kJobCreateFailed = "job_create_failed";  // CreateJobObjectW
inline constexpr std::string_view kJobLimitFailed = "job_limit_failed";    // SetInformationJobObject
inline constexpr std::string_view kJobAssignFailed = "job_assign_failed";  // AssignProcessToJobObject / no group

class Job {
 public:
  Job() noexcept;
  Job(Job&& o) noexcept;
  Job& operator=(Job&& o) noexcept;  // closes the job held before
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;
  ~Job();  // close()

  bool valid() const noexcept;
  // Ends every process in the job and releases it. Idempotent; never fails
  // (a failure to kill leaves nothing the caller could do better).
  void close() noexcept;

  struct Impl;  // backend-defined

 private:
  friend Result<Job> assign_kill_on_close_job(Process& process);
  std::unique_ptr<Impl> impl_;
};

// Puts a freshly started child into a new kill-on-close job. On failure the job is
// released again and the child is left as it was (the caller terminates it).
// Errors: kJobCreateFailed, kJobLimitFailed, kJobAssignFailed.
[[nodiscard]] Result<Job> assign_kill_on_close_job(Process& process);

}  // namespace brenmoor::platform
