// A stand-in for the engine's control API on a thread of its own: answers every
// request at once with a fixed receipt by path, and remembers the control token
// it was sent. Its own copies of what it receives are its business.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "platform/tcp.h"

namespace brenmoor::test {

class FakeEngine {
 public:
  FakeEngine() {
    auto l = platform::TcpListener::bind_loopback(0);
    if (!l) return;
    listener_ = std::move(*l);
    thread_ = std::thread([this] { serve(); });
  }
  FakeEngine(const FakeEngine&) = delete;
  FakeEngine& operator=(const FakeEngine&) = delete;
  ~FakeEngine() {
    stopping_ = true;
    // Wakes the accept; the loop then sees stopping_.
    (void)platform::tcp_connect_loopback(listener_.port(), std::chrono::seconds(2));
    if (thread_.joinable()) thread_.join();
  }

  std::uint16_t port() const { return listener_.port(); }
  std::string control_token_seen() {
    std::lock_guard<std::mutex> l(mu_);
    return token_;
  }

 private:
  void serve() {
    for (;;) {
      auto conn = listener_.accept();
      if (stopping_ || !conn) return;
      answer(*conn);
    }
  }

  void answer(platform::TcpStream& s) {
    if (!s.set_receive_timeout(std::chrono::seconds(20))) return;
    std::string got;
    char buf[4096];
    std::size_t end = std::string::npos;
    for (;;) {
      end = got.find("\r\n\r\n");
      if (end != std::string::npos) {
        std::size_t length = 0;
        const std::size_t at = got.find("Content-Length: ");
        if (at != std::string::npos && at < end) length = std::stoul(got.substr(at + 16));
        if (got.size() >= end + 4 + length) break;
      }
      auto n = s.receive(buf, sizeof buf);
      if (!n || *n == 0) return;
      got.append(buf, *n);
    }
    constexpr std::string_view kHeader = "X-Bren-Control-Token: ";
    if (const std::size_t at = got.find(kHeader); at != std::string::npos && at < end) {
      std::lock_guard<std::mutex> l(mu_);
      token_ = got.substr(at + kHeader.size(), got.find("\r\n", at) - at - kHeader.size());
    }
    const std::string_view line(got.data(), got.find("\r\n"));
    std::string reply = "HTTP/1.0 200 OK\r\n\r\n{}";
    if (line.starts_with("POST /connect ")) reply = "HTTP/1.1 200 OK\r\n\r\n";
    if (line.find(" /carrier/") != std::string_view::npos) reply = "HTTP/1.0 200 OK\r\n\r\n{\"core_generation\":1}";
    if (line.starts_with("GET /datagram/status ")) reply = "HTTP/1.0 200 OK\r\n\r\n{\"active\":true}";
    (void)s.send_all(reply);
  }

  platform::TcpListener listener_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::mutex mu_;
  std::string token_;
};

}  // namespace brenmoor::test
