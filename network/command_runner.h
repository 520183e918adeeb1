// The one place that starts the system's network tools (route, netsh,
// powershell.exe). Every child runs inside its own kill-on-close job and under a
// time limit; no child outlives a call that returned an error.
//
// Threads: the runners block the calling thread and keep no shared state; each
// PowerShell run adds one short-lived waiter thread that owns the child. Callers
// run commands one after another.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "platform/clock.h"
#include "platform/job.h"
#include "platform/process.h"

namespace brenmoor {

// Codes of the runners.
inline constexpr std::string_view kCommandSpawnFailed = "command_spawn_failed";
inline constexpr std::string_view kCommandJobAssignmentFailed = "command_job_assignment_failed";
inline constexpr std::string_view kCommandWaitFailed = "command_wait_failed";
inline constexpr std::string_view kCommandFailed = "command_failed";
inline constexpr std::string_view kCommandTimeout = "command_timeout";

// One planned command: the program ("route", "netsh" or "powershell.exe") and its
// arguments, each passed unchanged. The program name is the command line's first
// word; on Windows the file started is the tool in the system folder, never one
// found by the search order (platform::network_tool_application).
struct NetworkCommand {
  std::string program;
  std::vector<std::string> args;
  bool operator==(const NetworkCommand&) const = default;
};

// The time limits. Production uses the defaults; tests may shorten them.
struct RunnerLimits {
  Duration command_limit = std::chrono::seconds(10);  // both runners
  Duration output_grace = std::chrono::seconds(5);    // PowerShell, after its job was closed
  Duration poll_interval = std::chrono::milliseconds(25);
};

struct RunnerConfig {
  Clock* clock = nullptr;  // nullptr: system_clock()
  RunnerLimits limits;
  std::string powershell_program = "powershell.exe";
  // How a child is put into its job; empty: platform::assign_kill_on_close_job.
  // A seam for tests of the failure path.
  std::function<Result<platform::Job>(platform::Process&)> assign_job;
};

// The job operation shared with the engine launch.
using platform::assign_kill_on_close_job;

// Runs program with args; standard streams on the null device; success only on exit
// code 0. Polls the exit every 25 ms and gives up after 10 s: the child is
// terminated, "network command failed: command_timeout" logged and "command_timeout"
// returned. Codes: command_spawn_failed, command_job_assignment_failed,
// command_wait_failed, command_failed, command_timeout.
[[nodiscard]] Status run_network_command(std::string_view program, const std::vector<std::string>& args,
                                         const RunnerConfig& config = {});
[[nodiscard]] Status run_network_command_record(const NetworkCommand& command, const RunnerConfig& config = {});

// Runs powershell.exe -NoProfile -Command {script} and returns its standard output,
// decoded as UTF-8 with invalid sequences replaced by U+FFFD; standard error is
// discarded. Exit code other than 0: "command_failed". No result within 10 s: the job
// is closed (ending PowerShell and everything it started) and the output awaited for
// 5 s more; "command_timeout" either way. Blocks for at most about 15 s.
[[nodiscard]] Result<std::string> run_powershell_script(std::string_view script, const RunnerConfig& config = {});

// The command that runs a PowerShell script through run_network_command (for
// changes, whose output nobody reads).
NetworkCommand powershell_command(std::string_view script);

// Quoting for text inside a PowerShell single-quoted string: each single quote is
// doubled, nothing else changes, no quotes are added. PowerShell also reads the
// typographic single quotes U+2018, U+2019, U+201A and U+201B as quote characters,
// so they are doubled too (as PowerShell's own escaping does).
std::string escape_ps_quotes(std::string_view text);
// A complete single-quoted literal: ' + escape_ps_quotes(text) + '.
std::string ps_literal(std::string_view text);

// The reading rule for command output: split at line feeds (a carriage return
// before the line feed goes with it), trim Unicode white space at both ends, drop
// empty lines. Views into text.
std::vector<std::string_view> output_lines(std::string_view text);
// Unicode white space removed at both ends.
std::string_view trim_white_space(std::string_view text);

// The seam the network logic runs its commands through; tests record or script it.
class CommandRunner {
 public:
  virtual ~CommandRunner() = default;
  // run_network_command_record.
  [[nodiscard]] virtual Status run(const NetworkCommand& command) = 0;
  // run_powershell_script.
  [[nodiscard]] virtual Result<std::string> run_powershell(std::string_view script) = 0;
};

// Starts the real programs.
class SystemCommandRunner final : public CommandRunner {
 public:
  explicit SystemCommandRunner(RunnerConfig config = {}) : config_(std::move(config)) {}
  Status run(const NetworkCommand& command) override;
  Result<std::string> run_powershell(std::string_view script) override;

 private:
  RunnerConfig config_;
};

// The process-wide SystemCommandRunner with the default limits.
CommandRunner& system_command_runner();

}  // namespace brenmoor
