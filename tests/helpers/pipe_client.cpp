// Test helper: a control-pipe client that misbehaves on request. Copied to
// ".../Program Files/Pellamy/brenmoor-win.exe" it passes the identity check.
//   th_pipe_client PIPE send JSON      one frame with JSON as its body
//   th_pipe_client PIPE padded N       a status request padded with spaces to N bytes
//   th_pipe_client PIPE prefix N       only a length prefix of N, no body
//   th_pipe_client PIPE partial        2 bytes, then end of our sending direction
//   th_pipe_client PIPE trailing       a status frame followed by more bytes
//   th_pipe_client PIPE hold           connect, print "connected", say nothing more
//   th_pipe_client PIPE load N         N connections at once, one status request each
//   th_pipe_client PIPE trickle MS     a status frame, one byte every MS milliseconds
//   th_pipe_client PIPE many KIND N    N connections, each: "hold" (nothing sent),
//                                      "prefix" (a length prefix of 8 MiB, no body) or
//                                      "noread" (a status frame, the answer never read);
//                                      prints "connected N" once all are open, then
//                                      holds them until killed
// The response body is printed on standard output followed by a line feed ("trailing"
// adds "eof" when the service closed after its response). Exit codes: 0 answered,
// 2 usage, 3 open failed (the code is printed), 4 no response, 5 gave up (60 s).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "control/frame.h"
#include "platform/pipe_client.h"

namespace {

using brenmoor::platform::open_pipe_client;
using brenmoor::platform::PipeClient;

constexpr auto kGiveUp = std::chrono::seconds(60);
constexpr auto kBusyWait = std::chrono::seconds(30);
const std::string kStatus = R"({"version":1,"command":"status","request_id":"t","issued_at_unix_ms":0})";

int answer(PipeClient& client) {
  auto body = brenmoor::read_frame(client, 64u << 20);
  if (!body) return 4;
  std::fwrite(body->data(), 1, body->size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  return 0;
}

// A refused client may find the service already gone when it writes: the service
// answers a failed identity check at once and closes. The response is still there
// to read, so a failed write is not the end of the exchange.
void send_raw(PipeClient& c, std::string_view bytes) { (void)brenmoor::write_all(c, bytes); }
void send_frame(PipeClient& c, std::string_view body) { (void)brenmoor::write_frame(c, body); }

}  // namespace

int main(int argc, char** argv) {
  // A stray helper must never outlive its test for long.
  std::thread([] {
    std::this_thread::sleep_for(kGiveUp);
    std::fputs("gave up\n", stderr);
    std::_Exit(5);
  }).detach();

  if (argc < 3) return 2;
  const std::string pipe = argv[1];
  const std::string mode = argv[2];
  const std::string arg = argc > 3 ? argv[3] : "";

  if (mode == "load") {
    const int n = std::atoi(arg.c_str());
    std::atomic<int> ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i) {
      threads.emplace_back([&] {
        auto c = open_pipe_client(pipe, kBusyWait);
        if (!c) {
          std::fprintf(stderr, "open: %s\n", c.error().c_str());
          return;
        }
        send_frame(*c, kStatus);
        auto body = brenmoor::read_frame(*c, 1u << 20);
        if (body && body->find("\"success\":true") != std::string::npos) {
          ++ok;
        } else {
          std::fprintf(stderr, "response: %s\n", body ? body->c_str() : body.error().c_str());
        }
      });
    }
    for (auto& t : threads) t.join();
    std::printf("ok %d\n", ok.load());
    return ok.load() == n ? 0 : 4;
  }

  if (mode == "many") {
    const std::string kind = arg;
    const int n = argc > 4 ? std::atoi(argv[4]) : 0;
    std::vector<PipeClient> held;
    for (int i = 0; i < n; ++i) {
      auto c = open_pipe_client(pipe, kBusyWait);
      if (!c) {
        std::printf("%s\n", c.error().c_str());
        return 3;
      }
      if (kind == "prefix") {
        char prefix[4];
        brenmoor::encode_frame_length(8388608u, prefix);
        send_raw(*c, std::string_view(prefix, 4));
      } else if (kind == "noread") {
        send_frame(*c, kStatus);
      }
      held.push_back(std::move(*c));
    }
    std::printf("connected %d\n", n);
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }

  auto client = open_pipe_client(pipe, kBusyWait);
  if (!client) {
    std::printf("%s\n", client.error().c_str());
    return 3;
  }
  PipeClient& c = *client;

  if (mode == "send") {
    send_frame(c, arg);
    return answer(c);
  }
  if (mode == "padded") {
    std::string body = kStatus;
    body.resize(std::strtoull(arg.c_str(), nullptr, 10), ' ');
    send_frame(c, body);
    return answer(c);
  }
  if (mode == "prefix") {
    char prefix[4];
    brenmoor::encode_frame_length(static_cast<std::uint32_t>(std::strtoull(arg.c_str(), nullptr, 10)), prefix);
    send_raw(c, std::string_view(prefix, 4));
    return answer(c);
  }
  if (mode == "partial") {
    send_raw(c, std::string_view("\x10\x00", 2));
    c.close_write();
    return answer(c);
  }
  if (mode == "trailing") {
    send_frame(c, kStatus);
    send_raw(c, "GARBAGE AFTER THE FRAME");
    if (int rc = answer(c); rc != 0) return rc;
    char extra;
    auto more = c.read_some(&extra, 1);
    // The service closes after its response: end of stream (or a reset, since the
    // unread garbage is still in its queue) and never more bytes.
    std::printf("%s\n", (!more || *more == 0) ? "eof" : "more");
    return 0;
  }
  if (mode == "trickle") {
    const auto pause = std::chrono::milliseconds(std::atoi(arg.c_str()));
    char prefix[4];
    brenmoor::encode_frame_length(static_cast<std::uint32_t>(kStatus.size()), prefix);
    const std::string bytes = std::string(prefix, 4) + kStatus;
    for (char b : bytes) {
      auto n = c.write_some(&b, 1);
      if (!n || *n == 0) break;  // the service gave up on us; its answer is there to read
      std::this_thread::sleep_for(pause);
    }
    return answer(c);
  }
  if (mode == "hold") {
    std::printf("connected\n");
    std::fflush(stdout);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
  return 2;
}
