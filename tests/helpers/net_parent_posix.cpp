// Test helper (POSIX): plays a service that starts a child from a short-lived
// thread (as request threads do) and is then killed. It spawns th_net_hang (path
// in argv[1]) from a thread that ends at once, prints the child's pid and a line
// feed, and then waits to be killed.
#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/process.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  unsigned long long pid = 0;
  std::thread([&] {
    brenmoor::platform::SpawnOptions o;
    o.program = argv[1];
    auto child = brenmoor::platform::spawn_process(o);
    if (child) pid = child->id();
    // The Process goes out of scope here; the child keeps running.
  }).join();
  if (pid == 0) return 3;
  std::printf("%llu\n", pid);
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(120));
  return 0;
}
