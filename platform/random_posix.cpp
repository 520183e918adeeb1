#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <sys/random.h>

#include "platform/random.h"

namespace brenmoor::platform {
Status random_bytes(void* buffer, std::size_t size) {
  auto* p = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    ssize_t n = ::getrandom(p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("random_source_failed");
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}
}  // namespace brenmoor::platform
