#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/fs.h"

namespace brenmoor::platform {

void create_directories(std::string_view path) {
  std::string p(path);
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      std::string prefix = p.substr(0, i);
      ::mkdir(prefix.c_str(), 0755);
    }
  }
}

bool append_to_file(std::string_view path, std::string_view bytes) {
  std::string p(path);
  int fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) { ok = false; break; }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return ok;
}

}  // namespace brenmoor::platform
