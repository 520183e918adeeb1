#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "platform/process_info.h"

namespace brenmoor::platform {

std::optional<std::string> current_executable_path() {
  std::string buf(4096, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    buf.resize(buf.size() * 2);
  }
}

std::vector<std::string> command_line_args() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  std::size_t start = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i] == '\0') {
      args.emplace_back(all, start, i - start);
      start = i + 1;
    }
  }
  if (start < all.size()) args.emplace_back(all, start);
  return args;
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace brenmoor::platform
