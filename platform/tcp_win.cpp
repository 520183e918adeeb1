#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <climits>
#include <mutex>

#include "platform/tcp.h"
#include "platform/winsock_win.h"

namespace brenmoor::platform {
namespace {

using std::chrono::ceil;
using std::chrono::microseconds;
using std::chrono::milliseconds;

static_assert(sizeof(SocketHandle) == sizeof(SOCKET));

SOCKET native(SocketHandle s) { return static_cast<SOCKET>(s); }

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Sockets must not leak into the child processes the service starts (the engine,
// route, netsh, PowerShell): a child holding the control connection would keep it
// open after we close it.
SOCKET new_tcp_socket() {
  SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
    // Systems before Windows 7 SP1 do not know the flag.
    s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s;
}

timeval to_timeval(Duration left) {
  auto us = ceil<microseconds>(left).count();
  if (us < 1000) us = 1000;
  if (us > static_cast<long long>(INT_MAX) * 1'000'000) us = static_cast<long long>(INT_MAX) * 1'000'000;
  timeval tv{};
  tv.tv_sec = static_cast<long>(us / 1'000'000);
  tv.tv_usec = static_cast<long>(us % 1'000'000);
  return tv;
}

// select() rather than WSAPoll: WSAPoll did not report a refused non-blocking
// connect before Windows 10 2004 (it waited out the whole time-out instead).
// Returns 1 when ready, 0 on time-out, -1 on error or a failed connect.
int wait_for(SOCKET s, bool for_write, std::optional<MonoTime> deadline) {
  for (;;) {
    fd_set rw, ex;
    FD_ZERO(&rw);
    FD_ZERO(&ex);
    FD_SET(s, &rw);
    FD_SET(s, &ex);
    timeval tv{};
    timeval* ptv = nullptr;
    if (deadline) {
      Duration left = *deadline - MonoClock::now();
      if (left <= Duration::zero()) return 0;
      tv = to_timeval(left);
      ptv = &tv;
    }
    int r = for_write ? ::select(0, nullptr, &rw, &ex, ptv) : ::select(0, &rw, nullptr, &ex, ptv);
    if (r == SOCKET_ERROR) {
      if (::WSAGetLastError() == WSAEINTR) continue;
      return -1;
    }
    if (r == 0) continue;  // the top re-checks the deadline
    if (FD_ISSET(s, &ex)) return -1;
    return 1;
  }
}

Status set_timeout(SOCKET s, int option, Duration limit) {
  // DWORD milliseconds, where 0 means "wait forever": round up, at least 1 ms.
  auto ms = ceil<milliseconds>(limit).count();
  if (ms < 1) ms = 1;
  if (ms > static_cast<long long>(MAXDWORD - 1)) ms = MAXDWORD - 1;
  DWORD v = static_cast<DWORD>(ms);
  if (::setsockopt(s, SOL_SOCKET, option, reinterpret_cast<const char*>(&v), sizeof v) != 0) return fail(kTcpFailed);
  return {};
}

bool set_nonblocking(SOCKET s, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(s, FIONBIO, &mode) == 0;
}

}  // namespace

Status TcpStream::set_send_timeout(Duration limit) { return set_timeout(native(s_), SO_SNDTIMEO, limit); }
Status TcpStream::set_receive_timeout(Duration limit) { return set_timeout(native(s_), SO_RCVTIMEO, limit); }

Status TcpStream::send_all(std::string_view bytes) {
  while (!bytes.empty()) {
    int chunk = bytes.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes.size());
    int n = ::send(native(s_), bytes.data(), chunk, 0);
    if (n == SOCKET_ERROR) {
      int e = ::WSAGetLastError();
      if (e == WSAEINTR) continue;
      if (e == WSAETIMEDOUT) return fail(kTcpTimedOut);
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
    int chunk = bytes.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(bytes.size());
    int n = ::send(native(s_), bytes.data(), chunk, 0);
    if (n == SOCKET_ERROR) {
      int e = ::WSAGetLastError();
      if (e == WSAEINTR) continue;
      // After a timed-out send the socket's state is undefined; callers close it.
      if (e == WSAETIMEDOUT) return fail(kTcpTimedOut);
      return fail(kTcpFailed);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

Result<std::size_t> TcpStream::receive(char* buffer, std::size_t capacity) {
  int cap = capacity > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
  for (;;) {
    int n = ::recv(native(s_), buffer, cap, 0);
    if (n != SOCKET_ERROR) return static_cast<std::size_t>(n);
    int e = ::WSAGetLastError();
    if (e == WSAEINTR) continue;
    if (e == WSAETIMEDOUT) return fail(kTcpTimedOut);
    return fail(kTcpFailed);
  }
}

void TcpStream::shutdown_send() {
  if (s_ != kInvalidSocket) ::shutdown(native(s_), SD_SEND);
}

void TcpStream::close() {
  if (s_ != kInvalidSocket) {
    ::closesocket(native(s_));
    s_ = kInvalidSocket;
  }
}

std::uint16_t TcpStream::local_port() const {
  sockaddr_in a{};
  int len = sizeof a;
  if (s_ == kInvalidSocket || ::getsockname(native(s_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

Result<TcpStream> tcp_connect_loopback(std::uint16_t port, std::optional<Duration> limit) {
  if (!winsock_ready()) return fail(kTcpFailed);
  std::optional<MonoTime> deadline;
  if (limit) {
    if (*limit <= Duration::zero()) return fail(kTcpTimedOut);
    deadline = MonoClock::now() + *limit;
  }
  SOCKET s = new_tcp_socket();
  if (s == INVALID_SOCKET) return fail(kTcpFailed);
  TcpStream owner(static_cast<SocketHandle>(s));
  if (limit && !set_nonblocking(s, true)) return fail(kTcpFailed);
  sockaddr_in a = loopback(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR) {
    if (::WSAGetLastError() != WSAEWOULDBLOCK) return fail(kTcpFailed);
    // Windows retries a refused loopback SYN for about two seconds before it gives
    // up; the limit is what keeps an absent engine from stalling the caller.
    int w = wait_for(s, true, deadline);
    if (w == 0) return fail(kTcpTimedOut);
    if (w < 0) return fail(kTcpFailed);
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0 || err != 0) {
      return fail(kTcpFailed);
    }
  }
  if (limit && !set_nonblocking(s, false)) return fail(kTcpFailed);
  return owner;
}

Result<TcpListener> TcpListener::bind_loopback(std::uint16_t port) {
  if (!winsock_ready()) return fail(kTcpFailed);
  TcpListener l;
  SOCKET s = new_tcp_socket();
  if (s == INVALID_SOCKET) return fail(kTcpFailed);
  l.s_ = static_cast<SocketHandle>(s);
  // Nobody else may bind the same port over us (Windows lets SO_REUSEADDR steal it).
  BOOL one = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in a = loopback(port);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == SOCKET_ERROR) return fail(kTcpFailed);
  if (::listen(s, SOMAXCONN) == SOCKET_ERROR) return fail(kTcpFailed);
  sockaddr_in bound{};
  int len = sizeof bound;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &len) != 0) return fail(kTcpFailed);
  l.port_ = ntohs(bound.sin_port);
  return l;
}

Result<TcpStream> TcpListener::accept(std::optional<Duration> limit) {
  std::optional<MonoTime> deadline;
  if (limit) deadline = MonoClock::now() + *limit;
  for (;;) {
    int w = wait_for(native(s_), false, deadline);
    if (w == 0) return fail(kTcpTimedOut);
    if (w < 0) return fail(kTcpFailed);
    SOCKET c = ::accept(native(s_), nullptr, nullptr);
    if (c != INVALID_SOCKET) {
      // Accepted sockets inherit the listener's attributes, but not reliably its
      // non-inheritable handle flag under every layered provider: set it again.
      ::SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
      return TcpStream(static_cast<SocketHandle>(c));
    }
    int e = ::WSAGetLastError();
    if (e == WSAEINTR || e == WSAECONNRESET || e == WSAEWOULDBLOCK) continue;
    return fail(kTcpFailed);
  }
}

void TcpListener::close() {
  if (s_ != kInvalidSocket) {
    ::closesocket(native(s_));
    s_ = kInvalidSocket;
  }
}

}  // namespace brenmoor::platform
