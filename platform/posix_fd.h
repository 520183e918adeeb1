// The POSIX backends' one owner of a file descriptor, and the write loop they share.
// Platform-internal: included only by *_posix.cpp files.
#pragma once

#ifdef _WIN32
#error "POSIX-only header included in a Windows build"
#endif

#include <errno.h>
#include <unistd.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace brenmoor::platform {

// Closes its descriptor once; moving hands it on. Closing keeps the caller's errno,
// so a failure can be read after the owner went out of scope.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Writes every byte, continuing after partial writes and interruptions. False on
// the first real error (errno says which) or a write that made no progress.
inline bool write_all(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace brenmoor::platform
