// Test helper: a command that never finishes on its own (it gives up after two
// minutes so that a stray copy cannot linger for ever).
//   th_net_hang                        hang
//   th_net_hang --grandchild PIDFILE   first start a grandchild that hangs too, write
//                                      its process id to PIDFILE, then hang
//   th_net_hang --grandchild-exit PIDFILE   the same, but exit 0 instead of hanging
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>

#include "platform/process.h"
#include "platform/process_info.h"
#else
#include <unistd.h>
#endif

namespace {

constexpr auto kGiveUp = std::chrono::seconds(120);

void write_pid_file(const std::string& path, unsigned long long pid) {
  // Written under a temporary name and renamed, so a reader never sees half of it.
  const std::string tmp = path + ".tmp";
  if (FILE* f = std::fopen(tmp.c_str(), "wb")) {
    std::fprintf(f, "%llu", pid);
    std::fclose(f);
    std::rename(tmp.c_str(), path.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool then_exit = argc == 3 && std::string(argv[1]) == "--grandchild-exit";
  if (argc == 3 && (then_exit || std::string(argv[1]) == "--grandchild")) {
#ifdef _WIN32
    // Start the grandchild only once this process is in its job, as a command that
    // starts helpers after a moment would.
    for (int i = 0; i < 500; ++i) {
      BOOL in_job = FALSE;
      if (IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) && in_job) break;
      Sleep(10);
    }
    brenmoor::platform::SpawnOptions o;
    o.program = brenmoor::platform::current_executable_path().value_or("");
    auto child = brenmoor::platform::spawn_process(o);
    if (!child) return 3;
    write_pid_file(argv[2], child->id());
#else
    // A plain fork: the grandchild stays in the command's process group and has no
    // parent-death signal, so only the group kill can end it.
    pid_t pid = ::fork();
    if (pid < 0) return 3;
    if (pid == 0) {
      std::this_thread::sleep_for(kGiveUp);
      ::_exit(0);
    }
    write_pid_file(argv[2], static_cast<unsigned long long>(pid));
#endif
    if (then_exit) return 0;
  }
  std::this_thread::sleep_for(kGiveUp);
  return 0;
}
