#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>

#include "platform/tcp.h"

namespace brenmoor::platform {
namespace {

using std::chrono::ceil;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr Duration kShortestLimit = milliseconds(1);

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// poll() takes whole milliseconds; round up so that a wait never ends early.
int poll_ms(Duration left) {
  auto ms = ceil<milliseconds>(left).count();
  if (ms < 1) ms = 1;
  if (ms > INT_MAX) ms = INT_MAX;
  return static_cast<int>(ms);
}

// Waits for `events` on fd until `deadline`; nullopt deadline waits forever.
// Returns 1 when ready, 0 on time-out, -1 on error.
int wait_for(int fd, short events, std::optional<MonoTime> deadline) {
  for (;;) {
    int timeout = -1;
    if (deadline) {
      Duration left = *deadline - MonoClock::now();
      if (left <= Duration::zero()) return 0;
      timeout = poll_ms(left);
    }
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, timeout);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r > 0) return 1;
    // r == 0: poll's rounding may end a hair early; the top re-checks the deadline.
  }
}

Status set_timeout(int fd, int option, Duration limit) {
  if (limit < kShortestLimit) limit = kShortestLimit;
  auto us = ceil<microseconds>(limit).count();
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(us / 1'000'000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1'000'000);
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) return fail(kTcpFailed);
  return {};
}

bool set_nonblocking(int fd, bool on) {
  int flags = ::fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

Status TcpStream::set_send_timeout(Duration limit) { return set_timeout(s_, SO_SNDTIMEO, limit); }
Status TcpStream::set_receive_timeout(Duration limit) { return set_timeout(s_, SO_RCVTIMEO, limit); }

Status TcpStream::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    // MSG_NOSIGNAL: a peer that went away must be an error value, not SIGPIPE.
    ssize_t n = ::send(s_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return fail(kTcpTimedOut);
      return fail(kTcpFailed);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Status TcpStream::send_all_until(std::string_view bytes, MonoTime deadline) {
  while (!bytes.empty()) {
    const Duration left = deadline - MonoClock::now();
    if (left <= Duration::zero()) return fail(kTcpTimedOut);
    if (!set_send_timeout(left)) return fail(kTcpFailed);
    ssize_t n = ::send(s_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return fail(kTcpTimedOut);
      return fail(kTcpFailed);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::size_t> TcpStream::receive(char* buffer, std::size_t capacity) {
  for (;;) {
    ssize_t n = ::recv(s_, buffer, capacity, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return fail(kTcpTimedOut);
    return fail(kTcpFailed);
  }
}

void TcpStream::shutdown_send() {
  if (s_ != kInvalidSocket) ::shutdown(s_, SHUT_WR);
}

void TcpStream::close() {
  if (s_ != kInvalidSocket) {
    ::close(s_);  // no retry on EINTR: Linux releases the descriptor regardless
    s_ = kInvalidSocket;
  }
}

std::uint16_t TcpStream::local_port() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (s_ == kInvalidSocket || ::getsockname(s_, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

Result<TcpStream> tcp_connect_loopback(std::uint16_t port, std::optional<Duration> limit) {
  std::optional<MonoTime> deadline;
  if (limit) {
    if (*limit <= Duration::zero()) return fail(kTcpTimedOut);
    deadline = MonoClock::now() + *limit;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(kTcpFailed);
  TcpStream owner(fd);
  if (limit && !set_nonblocking(fd, true)) return fail(kTcpFailed);
  sockaddr_in a = loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    // EINTR leaves the connect running in the background, like EINPROGRESS.
    if (errno != EINPROGRESS && errno != EINTR) return fail(kTcpFailed);
    int w = wait_for(fd, POLLOUT, deadline);
    if (w == 0) return fail(kTcpTimedOut);
    if (w < 0) return fail(kTcpFailed);
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return fail(kTcpFailed);
  }
  if (limit && !set_nonblocking(fd, false)) return fail(kTcpFailed);
  return owner;
}

Result<TcpListener> TcpListener::bind_loopback(std::uint16_t port) {
  TcpListener l;
  l.s_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (l.s_ < 0) {
    l.s_ = kInvalidSocket;
    return fail(kTcpFailed);
  }
  int one = 1;
  ::setsockopt(l.s_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(port);
  if (::bind(l.s_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return fail(kTcpFailed);
  if (::listen(l.s_, SOMAXCONN) != 0) return fail(kTcpFailed);
  sockaddr_in bound{};
  socklen_t len = sizeof bound;
  if (::getsockname(l.s_, reinterpret_cast<sockaddr*>(&bound), &len) != 0) return fail(kTcpFailed);
  l.port_ = ntohs(bound.sin_port);
  return l;
}

Result<TcpStream> TcpListener::accept(std::optional<Duration> limit) {
  std::optional<MonoTime> deadline;
  if (limit) deadline = MonoClock::now() + *limit;
  for (;;) {
    int w = wait_for(s_, POLLIN, deadline);
    if (w == 0) return fail(kTcpTimedOut);
    if (w < 0) return fail(kTcpFailed);
    int fd = ::accept4(s_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) return TcpStream(fd);
    // The client may have given up between poll and accept: wait for the next one.
    if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return fail(kTcpFailed);
  }
}

void TcpListener::close() {
  if (s_ != kInvalidSocket) {
    ::close(s_);
    s_ = kInvalidSocket;
  }
}

}  // namespace brenmoor::platform
