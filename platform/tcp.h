// TCP on the loopback address 127.0.0.1: the client side that speaks to the
// engine's control port, and a small listener for the stand-in engine and tests.
//
// Every call is blocking and thread-safe in the sense that separate objects share
// nothing; one object is used by one thread at a time. Failures are the codes
// below; nothing above platform/ sees errno or WSAGetLastError. On Windows the
// socket library is initialised once per process, on first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/error.h"
#include "platform/clock.h"

namespace brenmoor::platform {

// Codes of this layer; callers map them to their own vocabulary.
inline constexpr std::string_view kTcpFailed = "tcp_failed";        // any system error
inline constexpr std::string_view kTcpTimedOut = "tcp_timed_out";  // a time limit struck

// The one place where the native socket type differs.
#ifdef _WIN32
using SocketHandle = std::uintptr_t;  // SOCKET
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// A connected stream. Owns its socket; closing (or destruction) releases it.
class TcpStream {
 public:
  TcpStream() = default;
  explicit TcpStream(SocketHandle s) : s_(s) {}
  TcpStream(TcpStream&& o) noexcept : s_(o.release()) {}
  TcpStream& operator=(TcpStream&& o) noexcept {
    if (this != &o) {
      close();
      s_ = o.release();
    }
    return *this;
  }
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;
  ~TcpStream() { close(); }

  bool is_open() const { return s_ != kInvalidSocket; }

  // SO_SNDTIMEO / SO_RCVTIMEO. A limit below one millisecond is raised to one
  // millisecond: the system reads zero as "wait forever", the opposite of what a
  // nearly spent deadline means. Windows takes whole milliseconds (rounded up).
  [[nodiscard]] Status set_send_timeout(Duration limit);
  [[nodiscard]] Status set_receive_timeout(Duration limit);

  // Sends every byte (partial sends continue, interrupted sends are retried).
  // kTcpTimedOut when the send time limit struck, kTcpFailed otherwise. The limit
  // applies to each send call, so a peer that reads a little now and then can
  // stretch the whole write far beyond it; send_all_until bounds the whole.
  [[nodiscard]] Status send_all(std::string_view bytes);

  // Sends every byte by `deadline` (monotonic, real time): before each send call
  // the send time limit is set to the time left. kTcpTimedOut once the deadline
  // has passed with bytes still unsent, kTcpFailed otherwise. Leaves the send
  // time limit changed.
  [[nodiscard]] Status send_all_until(std::string_view bytes, MonoTime deadline);

  // Receives up to `capacity` bytes; 0 means the peer closed its side. Interrupted
  // receives are retried. kTcpTimedOut when the receive time limit struck.
  [[nodiscard]] Result<std::size_t> receive(char* buffer, std::size_t capacity);

  // Ends our sending direction (the peer reads end of stream) but keeps reading.
  void shutdown_send();

  // Closes the socket; harmless when already closed.
  void close();

  // Port of our own end (0 when unknown).
  std::uint16_t local_port() const;

  SocketHandle release() {
    SocketHandle s = s_;
    s_ = kInvalidSocket;
    return s;
  }

 private:
  SocketHandle s_ = kInvalidSocket;
};

// Connects to 127.0.0.1:port. With a limit, the connect is made non-blocking and
// abandoned after that long (kTcpTimedOut); without one, the system's own connect
// time-out applies. A refused connection is kTcpFailed.
[[nodiscard]] Result<TcpStream> tcp_connect_loopback(std::uint16_t port, std::optional<Duration> limit);

// A listening socket bound to 127.0.0.1.
class TcpListener {
 public:
  TcpListener() = default;
  TcpListener(TcpListener&& o) noexcept : s_(o.s_), port_(o.port_) { o.s_ = kInvalidSocket; }
  TcpListener& operator=(TcpListener&& o) noexcept {
    if (this != &o) {
      close();
      s_ = o.s_;
      port_ = o.port_;
      o.s_ = kInvalidSocket;
    }
    return *this;
  }
  TcpListener(const TcpListener&) = delete;
  TcpListener& operator=(const TcpListener&) = delete;
  ~TcpListener() { close(); }

  // Binds 127.0.0.1:port (0 picks a free port) and listens.
  [[nodiscard]] static Result<TcpListener> bind_loopback(std::uint16_t port);

  // The bound port.
  std::uint16_t port() const { return port_; }

  // Waits for the next connection; with a limit, kTcpTimedOut once it has passed.
  [[nodiscard]] Result<TcpStream> accept(std::optional<Duration> limit = std::nullopt);

  void close();

 private:
  SocketHandle s_ = kInvalidSocket;
  std::uint16_t port_ = 0;
};

}  // namespace brenmoor::platform
