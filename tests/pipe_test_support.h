// Shared pieces of the control-pipe and service tests: a private pipe name, the test
// client installed where the identity check wants it, child processes with their
// output, and environment variables set for one test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "control/pipe_server.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace brenmoor::test {

inline void set_env_var(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // The service side reads the process environment (GetEnvironmentVariableW).
  std::wstring n(name.begin(), name.end());
  if (value) {
    const int len = MultiByteToWideChar(CP_UTF8, 0, value->data(), static_cast<int>(value->size()), nullptr, 0);
    std::wstring v(static_cast<std::size_t>(len), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, value->data(), static_cast<int>(value->size()), v.data(), len);
    SetEnvironmentVariableW(n.c_str(), v.c_str());
  } else {
    SetEnvironmentVariableW(n.c_str(), nullptr);
  }
#else
  if (value) ::setenv(name.c_str(), value->c_str(), 1);
  else ::unsetenv(name.c_str());
#endif
}

// Sets a variable for the life of the object, then puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)), old_(platform::get_env(name_.c_str())) {
    set_env_var(name_, value);
  }
  ~ScopedEnv() { set_env_var(name_, old_); }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A pipe path no other test (or a running service) uses.
inline std::string unique_pipe_path() {
  static std::atomic<int> counter{0};
#ifdef _WIN32
  return "\\\\.\\pipe\\brenmoor-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
#else
  return make_temp_dir("pipe") + "/brenmoor-full-device";
#endif
}

inline std::string utf8_path(const std::filesystem::path& p) {
  const std::u8string u = p.u8string();
  return std::string(reinterpret_cast<const char*>(u.data()), u.size());
}

// The test client th_pipe_client copied to {root}/{relative}; returns the copy's path.
inline std::string install_client_copy(const std::string& root, const std::string& relative) {
  namespace fs = std::filesystem;
  const fs::path target = fs::u8path(root) / fs::u8path(relative);
  fs::create_directories(target.parent_path());
  fs::copy_file(fs::u8path(bin_path("th_pipe_client")), target, fs::copy_options::overwrite_existing);
  return utf8_path(target);
}

// Waits (bounded by 20 s) until no connection handler runs; true when none does. A pipe
// test ends with this: a handler still running would log into the next test, and under
// Wine every test shares the process and the log.
inline bool connection_handlers_ended() {
  const MonoTime until = MonoClock::now() + std::chrono::seconds(20);
  while (running_connection_handlers() != 0) {
    if (MonoClock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct ChildRun {
  std::uint32_t exit_code = 0xFFFFFFFF;
  std::string out;
  std::string err;
};

inline ChildRun run_child(const std::string& program, const std::vector<std::string>& args,
                          std::vector<platform::EnvOverride> env = {}) {
  platform::SpawnOptions o;
  o.program = program;
  o.args = args;
  o.stdout_mode = platform::StdioMode::pipe;
  o.stderr_mode = platform::StdioMode::pipe;
  o.env = std::move(env);
  ChildRun run;
  auto p = platform::spawn_process(o);
  if (!p) {
    ADD_FAILURE() << "spawn " << program << ": " << p.error();
    return run;
  }
  auto out = p->take_stdout();
  auto err = p->take_stderr();
  if (auto text = platform::read_to_end(out, err)) {
    run.out = text->stdout_bytes;
    run.err = text->stderr_bytes;
  }
  if (auto code = p->wait()) run.exit_code = *code;
  // Windows programs write "\r\n" through the C runtime's text mode.
  for (std::string* s : {&run.out, &run.err})
    for (std::size_t pos; (pos = s->find("\r\n")) != std::string::npos;) s->erase(pos, 1);
  return run;
}

// A one-shot latch for "it has happened" across threads.
class Latch {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> l(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> l(mu_);
    cv_.wait(l, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

}  // namespace brenmoor::test
