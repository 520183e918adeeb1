// The cost of one service log line: format, open in the checked data folder, append,
// close. Runs under a private host root so the figures never touch a real log.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "service/log.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;

void use_private_host_root() {
  static const bool done = [] {
    const fs::path root = fs::temp_directory_path() / ("brenmoor-log-bench-" + std::to_string(::getpid()));
    fs::create_directories(root);
    ::setenv("BRENMOOR_HOST_ROOT", root.c_str(), 1);
    return true;
  }();
  (void)done;
}

// A line as long as a refused request's (about 80 bytes).
void BM_LogLine(benchmark::State& st) {
  use_private_host_root();
  for (auto _ : st) write_log_line("pipe client refused: image_not_allowed pid=4242");
}

}  // namespace
}  // namespace brenmoor

BENCHMARK(brenmoor::BM_LogLine)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
