// Child program for readiness tests: prints each argument as a line on standard
// output (flushed), then exits with code 0, or with --hang keeps running until killed.
// "--raw=TEXT" prints TEXT without a line feed; "--bytes=HEX" prints raw bytes.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

int main(int argc, char** argv) {
  bool hang = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--hang") == 0) {
      hang = true;
    } else if (std::strncmp(argv[i], "--raw=", 6) == 0) {
      std::fputs(argv[i] + 6, stdout);
    } else if (std::strncmp(argv[i], "--bytes=", 8) == 0) {
      const char* h = argv[i] + 8;
      for (std::size_t k = 0; h[k] != '\0' && h[k + 1] != '\0'; k += 2) {
        std::fputc(static_cast<int>(std::stoul(std::string(h + k, 2), nullptr, 16)), stdout);
      }
    } else {
      std::fputs(argv[i], stdout);
      std::fputc('\n', stdout);
    }
    std::fflush(stdout);
  }
  while (hang) std::this_thread::sleep_for(std::chrono::seconds(1));
  return 0;
}
