// Kill-on-close process container. A new Job is made for every child and never
// shared or reused; closing it (or destroying it) ends every process still in it.
// spawn_in_kill_on_close_job creates a child inside its job, so that nothing it
// starts can escape; assign_kill_on_close_job puts a running child in one.
//
// Windows: a job object with only JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE; closing the
// last handle makes the system terminate everything in the job, including
// processes the child started after it was assigned.
// POSIX: the child's own process group, which the child makes before it executes
// its program. Closing sends SIGKILL to the whole group; descendants that left the
// group (setsid/setpgid) are out of reach, as processes that break away from a job
// are on Windows.
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
  friend struct JobAccess;  // the backend's spawn_in_kill_on_close_job
  std::unique_ptr<Impl> impl_;
};

// Puts a freshly started child into a new kill-on-close job. On failure the job is
// released again and the child is left as it was (the caller terminates it).
// Errors: kJobCreateFailed, kJobLimitFailed, kJobAssignFailed.
[[nodiscard]] Result<Job> assign_kill_on_close_job(Process& process);

// How a child came to be in its job.
enum class JobEntry {
  created_in_job,            // Windows: PROC_THREAD_ATTRIBUTE_JOB_LIST; POSIX: always (its group)
  assigned_while_suspended,  // Windows without the attribute: created suspended, assigned, resumed
};

struct ProcessInJob {
  Job job;
  Process process;
  JobEntry entry = JobEntry::created_in_job;
};

// Creates the child (as spawn_process does) inside a new kill-on-close job: it runs
// no instruction outside the job, so nothing it starts, however early, escapes.
// On failure no child is left. use_job_list = false takes the suspended path even
// where the attribute is supported (Windows tests). Errors: those of spawn_process,
// kJobCreateFailed, kJobLimitFailed, kJobAssignFailed.
[[nodiscard]] Result<ProcessInJob> spawn_in_kill_on_close_job(const SpawnOptions& options, bool use_job_list = true);

}  // namespace brenmoor::platform
