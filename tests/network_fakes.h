// Test doubles and probes for the network and process tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "network/command_runner.h"
#include "platform/clock.h"
#include "service/log.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace brenmoor::test {

// Virtual time that moves only when someone sleeps on it; every sleep is recorded.
class SteppingClock final : public Clock {
 public:
  MonoTime now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void sleep_for(Duration d) override {
    {
      std::lock_guard lock(mutex_);
      now_ += d;
      sleeps_.push_back(d);
    }
    std::this_thread::yield();
  }
  std::vector<Duration> sleeps() {
    std::lock_guard lock(mutex_);
    return sleeps_;
  }

 private:
  std::mutex mutex_;
  MonoTime now_{};
  std::vector<Duration> sleeps_;
};

// A CommandRunner that records every call in order and answers from scripts.
// Changes are recorded as the NetworkCommand; queries as {"query", {script}}.
class RecordingRunner final : public CommandRunner {
 public:
  // Answer for a change; default success.
  std::function<Status(const NetworkCommand&)> on_run;
  // Answer for a query; default empty output.
  std::function<Result<std::string>(std::string_view)> on_query;

  Status run(const NetworkCommand& command) override {
    calls.push_back(command);
    return on_run ? on_run(command) : Status{};
  }
  Result<std::string> run_powershell(std::string_view script) override {
    calls.push_back(NetworkCommand{"query", {std::string(script)}});
    return on_query ? on_query(script) : Result<std::string>(std::string());
  }

  std::vector<NetworkCommand> calls;
};

inline NetworkCommand query(std::string script) { return NetworkCommand{"query", {std::move(script)}}; }

// The service log from the moment of construction on: messages without timestamps.
class LogMark {
 public:
  LogMark() : offset_(read_file(log_file_path()).size()) {}
  std::vector<std::string> messages() const {
    const std::string all = read_file(log_file_path());
    std::vector<std::string> out;
    std::string_view rest = std::string_view(all).substr(std::min(offset_, all.size()));
    while (!rest.empty()) {
      const std::size_t lf = rest.find('\n');
      std::string_view line = rest.substr(0, lf);
      rest.remove_prefix(lf == std::string_view::npos ? rest.size() : lf + 1);
      const std::size_t space = line.find(' ');
      out.emplace_back(space == std::string_view::npos ? line : line.substr(space + 1));
    }
    return out;
  }

 private:
  std::size_t offset_;
};

// Waits up to `bound` for the process with this id to have ended. True when it
// has (or no longer exists).
inline bool wait_process_gone(std::uint64_t pid, std::chrono::milliseconds bound) {
#ifdef _WIN32
  HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (h == nullptr) return GetLastError() == ERROR_INVALID_PARAMETER;
  const bool gone = WaitForSingleObject(h, static_cast<DWORD>(bound.count())) == WAIT_OBJECT_0;
  CloseHandle(h);
  return gone;
#else
  // A pidfd becomes readable once the process has exited (zombie or reaped).
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd < 0) return errno == ESRCH;
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, static_cast<int>(bound.count()));
  } while (r < 0 && errno == EINTR);
  ::close(fd);
  return r == 1;
#endif
}

// Reads a decimal process id from a file that a helper writes (by rename, so whole);
// waits up to `bound` for it to appear. 0 when it did not.
inline std::uint64_t read_pid_file(const std::string& path, std::chrono::milliseconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  for (;;) {
    const std::string text = read_file(path);
    if (!text.empty()) return std::stoull(text);
    if (std::chrono::steady_clock::now() >= until) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

inline void kill_process(std::uint64_t pid) {
#ifdef _WIN32
  if (HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, static_cast<DWORD>(pid))) {
    TerminateProcess(h, 1);
    CloseHandle(h);
  }
#else
  ::kill(static_cast<pid_t>(pid), SIGKILL);
#endif
}

}  // namespace brenmoor::test
