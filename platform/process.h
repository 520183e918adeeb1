// Child processes: start a program with an argument vector, watch it, read its
// output pipes, terminate it. Used by the network command runner (route, netsh,
// powershell.exe) and by the engine launch. A child that must not escape is created
// inside its kill-on-close job (spawn_in_kill_on_close_job, platform/job.h), or put
// into one right after spawning it; this header never kills on its own.
//
// Ownership: a Process owns the child's process handle and, until they are taken,
// its output pipes. Destroying a Process closes them but leaves the child running
// (a Job ends it). One Process is used by one thread at a time; it may be moved to
// another thread (the PowerShell waiter takes the child over).
//
// Platform notes:
// - Windows: CreateProcessW, command line quoted so that CommandLineToArgvW (and the
//   C runtime) give every argument back unchanged; only the three standard handles
//   are inherited (PROC_THREAD_ATTRIBUTE_HANDLE_LIST).
// - POSIX: every child is forked by one long-lived spawner thread and carries
//   PR_SET_PDEATHSIG=SIGKILL, so children die with the service even when the
//   service is killed; each child leads its own process group (the "job"). The
//   child's exit is observed without reaping it while a Job still refers to it,
//   so its process id and group id cannot be reused before the Job is closed.
//
// Errors are the codes below; nothing above platform/ sees errno or GetLastError.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.h"

namespace brenmoor::platform {

inline constexpr std::string_view kSpawnFailed = "spawn_failed";                // the child could not be created
inline constexpr std::string_view kProcessWaitFailed = "process_wait_failed";   // exit check or wait failed
inline constexpr std::string_view kProcessTerminateFailed = "process_terminate_failed";
inline constexpr std::string_view kPipeReadFailed = "pipe_read_failed";

// Where a standard output stream of the child goes.
enum class StdioMode {
  null_device,  // "NUL" / /dev/null
  pipe,         // an anonymous pipe; the parent reads it (take_stdout / take_stderr)
};

struct EnvOverride {
  std::string name;   // no '=' ; on Windows compared without regard to case
  std::string value;
};

struct SpawnOptions {
  // A bare name ("route", "netsh", "powershell.exe") is found by the platform's
  // normal executable search (Windows: CreateProcessW's search order; POSIX: the
  // service's PATH). A path is used as it is. Also the command line's first word.
  std::string program;
  // When set, the file that is started, with no search at all (Windows: the
  // application name handed to CreateProcessW; POSIX: the file executed), while
  // `program` stays the command line's first word.
  std::string application;
  // Arguments after the program name; each reaches the child unchanged.
  std::vector<std::string> args;
  // Standard input is always the null device.
  StdioMode stdout_mode = StdioMode::null_device;
  StdioMode stderr_mode = StdioMode::null_device;
  // Set on top of the service's own environment (an existing variable of the same
  // name is replaced). Empty: the child inherits the environment unchanged.
  std::vector<EnvOverride> env;
  // Working directory and creation flags are always inherited / default.
};

// The native pipe end, switched in this one place.
#ifdef _WIN32
using NativePipe = void*;  // HANDLE
#else
using NativePipe = int;
#endif

// The reading end of a child's output pipe. Owns it; closing it (or destruction)
// releases it, after which a child still writing gets a broken pipe.
class PipeReader {
 public:
  PipeReader() = default;
  explicit PipeReader(NativePipe p);
  PipeReader(PipeReader&& o) noexcept;
  PipeReader& operator=(PipeReader&& o) noexcept;
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;
  ~PipeReader();

  bool is_open() const;
  NativePipe native() const { return p_; }
  // Blocks until bytes are available. Returns how many were read into buf, or 0 at
  // the end of the stream (every writer closed: the child and anything it started
  // that still holds the pipe). Error: kPipeReadFailed.
  [[nodiscard]] Result<std::size_t> read(char* buf, std::size_t len);
  void close() noexcept;

 private:
  NativePipe p_ =
#ifdef _WIN32
      nullptr;
#else
      -1;
#endif
};

// Everything a child wrote to its two pipes, each read to its end.
struct PipeOutput {
  std::string stdout_bytes;
  std::string stderr_bytes;
};

// Reads both pipes concurrently until both report end of stream (so a child that
// fills one pipe while the parent waits on the other cannot deadlock). A closed
// (default) reader counts as an empty stream. Error: kPipeReadFailed.
[[nodiscard]] Result<PipeOutput> read_to_end(PipeReader& out, PipeReader& err);

struct ChildHandle;  // backend-defined; shared with the Job the child is put in
struct JobLaunch;    // backend-defined; how a child is created inside its job (platform/job.h)

// Whether one child still runs, for threads that may not touch its Process (it
// belongs to its owner, who may release it meanwhile). A probe shares the child with
// the Process: while any probe is held the child's handle stays open (POSIX: the
// child stays unreaped, so its process id is not given to another process), and the
// answer is always about that very child. Copyable; any thread, concurrently.
class ProcessExitProbe {
 public:
  ProcessExitProbe() = default;  // no child: never running
  explicit ProcessExitProbe(std::shared_ptr<ChildHandle> child) : child_(std::move(child)) {}
  // Without blocking. False once the child has exited, and also when there is no
  // child or the check fails: a caller about to trust the child must not trust one
  // it cannot see.
  bool running() const;

 private:
  std::shared_ptr<ChildHandle> child_;
};

class Process {
 public:
  Process();
  Process(Process&&) noexcept;
  Process& operator=(Process&&) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  bool valid() const;
  // The system's process id (for diagnostics and tests).
  std::uint64_t id() const;

  // Without blocking: nullopt while the child runs, its exit code once it has
  // exited. POSIX: a child ended by a signal reports 128 + the signal number.
  // Error: kProcessWaitFailed.
  [[nodiscard]] Result<std::optional<std::uint32_t>> try_wait();
  // Blocks until the child has exited. Error: kProcessWaitFailed.
  [[nodiscard]] Result<std::uint32_t> wait();
  // Blocks until the child has exited or `limit` has passed: its exit code, or
  // nullopt when it still runs. Error: kProcessWaitFailed.
  [[nodiscard]] Result<std::optional<std::uint32_t>> wait_for(std::chrono::milliseconds limit);
  // Ends the child at once (TerminateProcess with exit code 1 / SIGKILL). A child
  // that has already exited is not an error. Does not wait. Error: kProcessTerminateFailed.
  [[nodiscard]] Status terminate();
  // A seam for tests: terminate() runs `action` instead, so that a test can delay
  // or withhold the end of a child, as a process stuck in a wait the system cannot
  // cancel withholds it.
  void replace_terminate_for_test(std::function<Status()> action) { terminate_for_test_ = std::move(action); }

  // The parent's ends of the output pipes; a closed reader when the stream was not
  // a pipe or has been taken already.
  PipeReader take_stdout();
  PipeReader take_stderr();

  // A probe of this child for other threads; a probe of nothing before spawning.
  ProcessExitProbe exit_probe() const { return ProcessExitProbe(child_); }

  // Backend use (the job backends).
  const std::shared_ptr<ChildHandle>& child() const { return child_; }

 private:
  friend Result<Process> spawn_process(const SpawnOptions&);
  friend Result<Process> spawn_process_in_job(const SpawnOptions&, JobLaunch&);
  std::shared_ptr<ChildHandle> child_;
  std::function<Status()> terminate_for_test_;
  std::optional<std::uint32_t> exit_code_;
  PipeReader stdout_;
  PipeReader stderr_;
};

// Creates the child. Error: kSpawnFailed (program not found, not executable,
// resources exhausted, an argument or name the platform cannot carry such as an
// embedded NUL).
[[nodiscard]] Result<Process> spawn_process(const SpawnOptions& options);

// Windows only, exposed for tests: the command line spawn_process builds (quoted
// program first, then every argument quoted per the CommandLineToArgvW rules).
std::string build_command_line(std::string_view program, const std::vector<std::string>& args);

// Windows only, exposed for tests: the application name spawn_process hands to
// CreateProcessW next to that command line. An absolute program path ("C:\...",
// "\\?\C:\...", "\\server\...") is given as it is, so the system need not find the
// program by parsing the command line, a search limited to MAX_PATH; a bare name or
// a relative path gives nullopt and keeps the normal search order.
std::optional<std::string> application_name(std::string_view program);

inline constexpr std::string_view kSystemFolderUnknown = "system_folder_unknown";  // GetSystemDirectoryW failed
inline constexpr std::string_view kSystemToolUnknown = "system_tool_unknown";      // a bare name that is no tool

// Where a system network tool lives below the system folder ("C:\\Windows\\System32"):
// "route" -> {system}\\route.exe, "netsh" -> {system}\\netsh.exe, "powershell.exe" ->
// {system}\\WindowsPowerShell\\v1.0\\powershell.exe. nullopt for any other name or an
// empty folder.
std::optional<std::string> system_tool_path(std::string_view system_folder, std::string_view tool);

// The SpawnOptions::application that starts the network tool `program`, so that no
// folder a user may write to (the service's own, the current one, a PATH entry) is
// ever searched for it. Windows: a tool name gives system_tool_path under
// GetSystemDirectoryW; an absolute path is started as it is (empty: no change); any
// other name is refused. The dev host: always empty, the tools are found on PATH
// (netsim's copies stand in for them there).
// Errors: kSystemFolderUnknown, kSystemToolUnknown.
[[nodiscard]] Result<std::string> network_tool_application(std::string_view program);

}  // namespace brenmoor::platform
