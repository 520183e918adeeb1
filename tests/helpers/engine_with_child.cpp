// Test helper: an engine stand-in that starts a long-lived child at once, before
// anything else, as an engine that spawns helpers on start would. Arguments are
// ignored (the service passes "-port 0"); BRENMOOR_TEST_CHILD_PIDFILE names the file
// that gets the child's process id, and {that file}.entry says whether this process
// was already in its job (Windows) / its own process group (POSIX) at its first
// instruction: "in_job" or "outside". Then it exits 0, without a readiness line.
//   th_engine_with_child --hang    the child's part: hang for two minutes
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include "platform/process.h"
#include "platform/process_info.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr auto kGiveUp = std::chrono::seconds(120);

// Whole or not at all: written under a temporary name, then renamed.
void write_file(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
    std::fputs(text.c_str(), f);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
  }
}

bool in_job_now() {
#ifdef _WIN32
  BOOL in_job = FALSE;
  return IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) && in_job;
#else
  return ::getpgrp() == ::getpid();
#endif
}

}  // namespace

int main(int argc, char** argv) {
  const bool in_job = in_job_now();
  if (argc == 2 && std::string(argv[1]) == "--hang") {
    std::this_thread::sleep_for(kGiveUp);
    return 0;
  }
  const char* pid_file = std::getenv("BRENMOOR_TEST_CHILD_PIDFILE");
  if (pid_file == nullptr || *pid_file == '\0') return 2;
  unsigned long long child = 0;
#ifdef _WIN32
  brenmoor::platform::SpawnOptions o;
  o.program = brenmoor::platform::current_executable_path().value_or("");
  o.args = {"--hang"};
  auto started = brenmoor::platform::spawn_process(o);
  if (!started) return 3;
  child = started->id();
#else
  // A plain fork: the child stays in this process's group and has no parent-death
  // signal, so only the group kill can end it. It lets go of the standard streams,
  // which may be the service's readiness pipe.
  const pid_t pid = ::fork();
  if (pid < 0) return 3;
  if (pid == 0) {
    const int null_fd = ::open("/dev/null", O_RDWR);
    ::dup2(null_fd, 1);
    ::dup2(null_fd, 2);
    std::this_thread::sleep_for(kGiveUp);
    ::_exit(0);
  }
  child = static_cast<unsigned long long>(pid);
#endif
  write_file(std::string(pid_file) + ".entry", in_job ? "in_job" : "outside");
  write_file(pid_file, std::to_string(child));
  return 0;
}
