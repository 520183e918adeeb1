#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/netsim/netsim_sys.h"

namespace netsim::sys {

namespace {

bool write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

FileLock::~FileLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // closing drops the flock
}

bool FileLock::acquire(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot open lock file " + path + ": " + std::strerror(errno);
    return false;
  }
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    *error = "cannot lock " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

bool process_alive(long pid) {
  if (pid <= 0) return false;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  // A zombie still answers kill(); its state letter in /proc says it has ended.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t close_paren = text.rfind(')');
  if (close_paren != std::string::npos && close_paren + 2 < text.size()) {
    char state = text[close_paren + 2];
    if (state == 'Z' || state == 'X') return false;
  }
  return true;
}

long current_process_id() { return static_cast<long>(::getpid()); }

std::optional<std::string> read_file(const std::string& path, bool* missing, std::string* error) {
  *missing = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) *missing = true;
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string out;
  char buf[8192];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

bool replace_file(const std::string& path, std::string_view bytes, std::string* error) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + tmp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = write_all(fd, bytes);
  if (::close(fd) != 0) ok = false;
  if (!ok) {
    *error = "cannot write " + tmp;
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

void write_stdout(std::string_view bytes) {
  std::fflush(stdout);
  write_all(STDOUT_FILENO, bytes);
}

void write_stderr(std::string_view bytes) {
  std::fflush(stderr);
  write_all(STDERR_FILENO, bytes);
}

void hang_forever() {
  for (;;) ::pause();
}

}  // namespace netsim::sys
