// Test helper (POSIX): prints every open descriptor above 2 as "fd N\n", so a test
// can tell whether the service leaked descriptors into its children.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main() {
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return 2;
  const int own = ::dirfd(d);
  std::string out;
  while (dirent* e = ::readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const int fd = std::atoi(e->d_name);
    if (fd > 2 && fd != own) out += "fd " + std::to_string(fd) + "\n";
  }
  ::closedir(d);
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
