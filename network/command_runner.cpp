#include "network/command_runner.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "common/utf8.h"
#include "service/log.h"

namespace brenmoor {
namespace {

Clock& clock_of(const RunnerConfig& config) { return config.clock != nullptr ? *config.clock : system_clock(); }

Result<platform::Job> put_in_job(const RunnerConfig& config, platform::Process& child) {
  if (config.assign_job) return config.assign_job(child);
  return platform::assign_kill_on_close_job(child);
}

// The failure path shared by both runners: the child must not outlive the call.
std::unexpected<ErrorCode> job_assignment_failed(platform::Process& child) {
  (void)child.terminate();
  (void)child.wait();
  write_log_line("network command failed: command_job_assignment_failed");
  return fail(kCommandJobAssignmentFailed);
}

// What the PowerShell waiter reports.
struct WaiterMessage {
  bool wait_failed = false;
  std::uint32_t exit_code = 0;
  std::string stdout_bytes;
  std::string stderr_bytes;
};

// Single-use channel from the waiter to the caller. The caller may stop listening
// at any time; a message sent after that is simply dropped with the channel.
class OneShotChannel {
 public:
  void send(WaiterMessage m) {
    std::lock_guard lock(mutex_);
    if (!message_ && !closed_) message_ = std::move(m);
    ready_.notify_all();
  }
  // The sender is gone; with no message sent, receivers stop waiting.
  void close_sender() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready_.notify_all();
  }
  // The message, or nullopt when the deadline passes or the sender closed first.
  // The deadline is on the given clock; the waiting itself is a real wait that a
  // send ends at once.
  std::optional<WaiterMessage> receive_until(Clock& clock, MonoTime deadline) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (message_) return std::exchange(message_, std::nullopt);
      if (closed_) return std::nullopt;
      const MonoTime now = clock.now();
      if (now >= deadline) return std::nullopt;
      ready_.wait_for(lock, std::min<Duration>(deadline - now, kMaxSlice));
    }
  }

 private:
  // Re-reads the clock at least this often, so an injected clock is followed.
  static constexpr Duration kMaxSlice = std::chrono::milliseconds(100);
  std::mutex mutex_;
  std::condition_variable ready_;
  std::optional<WaiterMessage> message_;
  bool closed_ = false;
};

// Closes the channel when the waiter ends, whether or not it sent.
struct SenderGuard {
  std::shared_ptr<OneShotChannel> channel;
  ~SenderGuard() { channel->close_sender(); }
};

// The waiter thread: owns the child, reads both pipes to their end, then collects
// the exit code. Reading first keeps a chatty child from blocking on a full pipe.
void wait_for_output(std::shared_ptr<OneShotChannel> channel, platform::Process child, platform::PipeReader out,
                     platform::PipeReader err) {
  SenderGuard guard{channel};
  try {
    auto output = platform::read_to_end(out, err);
    if (!output) {
      channel->send(WaiterMessage{true, 0, {}, {}});
      return;
    }
    auto code = child.wait();
    if (!code) {
      channel->send(WaiterMessage{true, 0, {}, {}});
      return;
    }
    channel->send(WaiterMessage{false, *code, std::move(output->stdout_bytes), std::move(output->stderr_bytes)});
  } catch (...) {
    // Out of memory: the guard closes the channel without a message.
  }
}

}  // namespace

Status run_network_command(std::string_view program, const std::vector<std::string>& args,
                           const RunnerConfig& config) {
  Clock& clock = clock_of(config);
  platform::SpawnOptions options;
  options.program = std::string(program);
  options.args = args;
  auto application = platform::network_tool_application(program);
  if (!application) return fail(kCommandSpawnFailed);
  options.application = std::move(*application);
  auto child = platform::spawn_process(options);
  if (!child) return fail(kCommandSpawnFailed);

  auto job = put_in_job(config, *child);
  if (!job) return job_assignment_failed(*child);

  const MonoTime deadline = clock.now() + config.limits.command_limit;
  Status result;
  for (;;) {
    auto exited = child->try_wait();
    if (!exited) {
      result = fail(kCommandWaitFailed);
      break;
    }
    if (*exited) {
      if (**exited != 0) result = fail(kCommandFailed);
      break;
    }
    if (clock.now() < deadline) {
      clock.sleep_for(config.limits.poll_interval);
      continue;
    }
    (void)child->terminate();
    (void)child->wait();
    write_log_line("network command failed: command_timeout");
    result = fail(kCommandTimeout);
    break;
  }
  // Also ends anything the command left running.
  job->close();
  return result;
}

Status run_network_command_record(const NetworkCommand& command, const RunnerConfig& config) {
  return run_network_command(command.program, command.args, config);
}

Result<std::string> run_powershell_script(std::string_view script, const RunnerConfig& config) {
  Clock& clock = clock_of(config);
  platform::SpawnOptions options;
  options.program = config.powershell_program;
  options.args = {"-NoProfile", "-Command", std::string(script)};
  auto application = platform::network_tool_application(options.program);
  if (!application) return fail(kCommandSpawnFailed);
  options.application = std::move(*application);
  options.stdout_mode = platform::StdioMode::pipe;
  options.stderr_mode = platform::StdioMode::pipe;
  auto child = platform::spawn_process(options);
  if (!child) return fail(kCommandSpawnFailed);

  auto job = put_in_job(config, *child);
  if (!job) return job_assignment_failed(*child);

  auto channel = std::make_shared<OneShotChannel>();
  try {
    platform::PipeReader out = child->take_stdout();
    platform::PipeReader err = child->take_stderr();
    std::thread(wait_for_output, channel, std::move(*child), std::move(out), std::move(err)).detach();
  } catch (...) {
    // No waiter: treated like a waiter that ended without a message.
    channel->close_sender();
  }

  auto message = channel->receive_until(clock, clock.now() + config.limits.command_limit);
  if (message) {
    job->close();
    if (message->wait_failed) return fail(kCommandWaitFailed);
    if (message->exit_code != 0) return fail(kCommandFailed);
    return utf8_lossy(message->stdout_bytes);
  }

  // Closing the job ends PowerShell and everything it started, which ends the
  // pipes; the waiter should then report within the grace period.
  job->close();
  auto late = channel->receive_until(clock, clock.now() + config.limits.output_grace);
  if (!late || late->wait_failed) write_log_line("network output cancellation: waiter_completion_unconfirmed");
  write_log_line("network output failed: command_timeout");
  return fail(kCommandTimeout);
}

NetworkCommand powershell_command(std::string_view script) {
  return NetworkCommand{"powershell.exe", {"-NoProfile", "-Command", std::string(script)}};
}

std::string escape_ps_quotes(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\'') {
      out.append("''");
      continue;
    }
    // U+2018..U+201B in UTF-8: E2 80 98..9B.
    if (static_cast<unsigned char>(c) == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
        static_cast<unsigned char>(text[i + 2]) >= 0x98 && static_cast<unsigned char>(text[i + 2]) <= 0x9B) {
      const std::string_view quote = text.substr(i, 3);
      out.append(quote);
      out.append(quote);
      i += 2;
      continue;
    }
    out.push_back(c);
  }
  return out;
}

std::string ps_literal(std::string_view text) {
  std::string out = "'";
  out.append(escape_ps_quotes(text));
  out.push_back('\'');
  return out;
}

namespace {

// Length of the Unicode white space character at the start / end of s, or 0.
// (The White_Space property: U+0009..000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..200A, U+2028, U+2029, U+202F, U+205F, U+3000.)
bool is_white_space_sequence(std::string_view s) {
  if (s.size() == 1) {
    const char c = s[0];
    return c == ' ' || (c >= '\t' && c <= '\r');
  }
  const auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  if (s.size() == 2) return b(0) == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0);
  if (s.size() == 3) {
    if (b(0) == 0xE1) return b(1) == 0x9A && b(2) == 0x80;
    if (b(0) == 0xE3) return b(1) == 0x80 && b(2) == 0x80;
    if (b(0) != 0xE2) return false;
    if (b(1) == 0x80) return b(2) <= 0x8A ? b(2) >= 0x80 : (b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF);
    return b(1) == 0x81 && b(2) == 0x9F;
  }
  return false;
}

std::size_t leading_white_space(std::string_view s) {
  for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
    if (is_white_space_sequence(s.substr(0, n))) return n;
  }
  return 0;
}

std::size_t trailing_white_space(std::string_view s) {
  for (std::size_t n = 1; n <= 3 && n <= s.size(); ++n) {
    if (is_white_space_sequence(s.substr(s.size() - n))) return n;
  }
  return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) {
  while (std::size_t n = leading_white_space(text)) text.remove_prefix(n);
  while (std::size_t n = trailing_white_space(text)) text.remove_suffix(n);
  return text;
}

std::vector<std::string_view> output_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trim_white_space(line);
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

Status SystemCommandRunner::run(const NetworkCommand& command) { return run_network_command_record(command, config_); }

Result<std::string> SystemCommandRunner::run_powershell(std::string_view script) {
  return run_powershell_script(script, config_);
}

CommandRunner& system_command_runner() {
  static SystemCommandRunner runner;
  return runner;
}

}  // namespace brenmoor
