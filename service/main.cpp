// Process entry of brenmoor-service. (The service host is wired in by the lifecycle work.)
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  for (int i = 0; i < argc; ++i)
    if (std::strcmp(argv[i], "--self-test") == 0) return 0;
  std::fputs("Error: the service host is not part of this build yet\n", stderr);
  return 1;
}
