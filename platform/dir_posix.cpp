#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "common/utf8.h"
#include "platform/dir.h"

namespace brenmoor::platform {

std::optional<std::string> canonical_path(std::string_view path) {
  std::string p(path);
  char* resolved = ::realpath(p.c_str(), nullptr);
  if (resolved == nullptr) return std::nullopt;
  std::string out(resolved);
  ::free(resolved);
  return out;
}

std::optional<std::vector<DirEntryName>> list_directory(std::string_view path) {
  std::string p(path);
  DIR* dir = ::opendir(p.c_str());
  if (dir == nullptr) return std::nullopt;
  std::vector<DirEntryName> out;
  bool ok = true;
  for (;;) {
    // readdir reports an error only through errno, with the same null return as the end.
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      ok = (errno == 0);
      break;
    }
    std::string_view name(entry->d_name, std::strlen(entry->d_name));
    if (name == "." || name == "..") continue;
    const bool valid = is_valid_utf8(name);
    out.push_back(DirEntryName{valid ? std::string(name) : utf8_lossy(name), valid});
  }
  ::closedir(dir);
  if (!ok) return std::nullopt;
  return out;
}

bool is_regular_file(std::string_view path) {
  std::string p(path);
  struct stat st {};
  if (::stat(p.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode);
}

std::optional<std::string> read_whole_file(std::string_view path) {
  std::string p(path);
  int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string out;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.reserve(static_cast<std::size_t>(st.st_size));
  }
  // The size is only a hint: the file may grow or shrink while it is read, and
  // some files (procfs) report 0; read until the end is reached.
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace brenmoor::platform
