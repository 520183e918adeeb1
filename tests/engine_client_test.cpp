// The engine control client against real loopback servers: the exact bytes it
// sends, how it reads and judges replies, and its time and size limits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine_client.h"
#include "platform/tcp.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;
using platform::TcpListener;
using platform::TcpStream;

constexpr std::string_view kToken = "0f8e2c7a-1b2c-4d3e-8f9a-0123456789ab";
// Bounds of the fake servers' own waits, so that a broken client fails a test
// instead of hanging it.
constexpr Duration kServerWaitBound = 20s;

std::string read_request(TcpStream& s) {
  std::string got;
  if (!s.set_receive_timeout(kServerWaitBound)) return got;
  char buf[4096];
  for (;;) {
    std::size_t end = got.find("\r\n\r\n");
    if (end != std::string::npos) {
      std::size_t length = 0;
      std::size_t at = got.find("Content-Length: ");
      if (at != std::string::npos && at < end) length = std::stoul(got.substr(at + 16));
      if (got.size() >= end + 4 + length) return got;
    }
    auto n = s.receive(buf, sizeof buf);
    if (!n || *n == 0) return got;
    got.append(buf, *n);
  }
}

// Reads until the client closes its side (or the bound passes).
void wait_for_client_close(TcpStream& s) {
  if (!s.set_receive_timeout(kServerWaitBound + 40s)) return;
  char buf[4096];
  for (;;) {
    auto n = s.receive(buf, sizeof buf);
    if (!n || *n == 0) return;
  }
}

// Accepts one connection, reads the request, then runs the script on the stream.
class OneShotServer {
 public:
  using Script = std::function<void(TcpStream&)>;

  explicit OneShotServer(Script script) {
    auto l = TcpListener::bind_loopback(0);
    if (!l) {
      ADD_FAILURE() << "bind failed: " << l.error();
      return;
    }
    listener_ = std::move(*l);
    thread_ = std::thread([this, script = std::move(script)] {
      auto conn = listener_.accept(kServerWaitBound);
      if (!conn) return;
      accepted_ = true;
      received_ = read_request(*conn);
      script(*conn);
    });
  }
  ~OneShotServer() { finish(); }

  std::uint16_t port() const { return listener_.port(); }

  // Waits for the server thread; afterwards received() and accepted() are final.
  void finish() {
    if (thread_.joinable()) thread_.join();
  }
  const std::string& received() const { return received_; }
  bool accepted() const { return accepted_; }

 private:
  TcpListener listener_;
  std::thread thread_;
  std::string received_;
  std::atomic<bool> accepted_{false};
};

OneShotServer::Script reply_with(std::string bytes) {
  return [bytes = std::move(bytes)](TcpStream& s) { (void)s.send_all(bytes); };
}

OneShotServer::Script trickle(std::string bytes, Duration gap) {
  return [bytes = std::move(bytes), gap](TcpStream& s) {
    for (char c : bytes) {
      if (!s.send_all(std::string_view(&c, 1))) return;
      std::this_thread::sleep_for(gap);  // pacing the reply, not synchronisation
    }
  };
}

OneShotServer::Script silent() {
  return [](TcpStream& s) { wait_for_client_close(s); };
}

// A port on which nothing listens: bound once, then released.
std::uint16_t dead_port() {
  auto l = TcpListener::bind_loopback(0);
  EXPECT_TRUE(l.has_value());
  return l ? l->port() : 1;
}

// A clock that moves forward by a fixed step on every reading.
class SteppingClock final : public Clock {
 public:
  SteppingClock(MonoTime start, Duration step) : t_(start), step_(step) {}
  MonoTime now() override {
    t_ += step_;
    return t_;
  }
  void sleep_for(Duration d) override { t_ += d; }

 private:
  MonoTime t_;
  Duration step_;
};

MonoTime in(Duration d) { return MonoClock::now() + d; }

// ---------------------------------------------------------------------------
// Bytes on the wire

TEST(EngineClientWire, RequestsMatchTheTemplatesByteForByte) {
  JsonValue::Object config;
  config.emplace("uplink", "1.2.3.4:443");
  config.emplace("auth", "s\"e\\c\x01");
  config.emplace("port_count", JsonValue(std::int64_t{3}));
  JsonValue::Object offer;
  offer.emplace("generation", JsonValue(std::uint64_t{7}));
  offer.emplace("config", JsonValue(std::move(config)));
  const JsonValue offer_body(std::move(offer));
  const JsonValue empty_object(JsonValue::Object{});

  // The configuration text travels as one JSON string: quotes and backslashes
  // escaped, control characters as escapes, non-ASCII as its UTF-8 bytes.
  const std::string config_text = "{\"a\":\"\xC3\xBC\"}\n\t\x1F";
  const std::string connect_body =
      R"({"ad_block_enabled":true,"config_json":"{\"a\":\"ü\"}\n\t\u001f","country_code":"",)"
      R"("path_rotate":false,"routing_mode":"FullDevice","strict_residential_global":false,"web_direct_domains":[]})";
  const std::string offer_json = R"({"config":{"auth":"s\"e\\c\u0001","port_count":3,"uplink":"1.2.3.4:443"},"generation":7})";

  struct Row {
    const char* name;
    std::function<void(std::uint16_t)> call;
    std::string expected;
  };
  const std::vector<Row> rows = {
      {"connect",
       [&](std::uint16_t port) { EXPECT_TRUE(engine_connect(port, kToken, config_text)); },
       "POST /connect HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Bren-Control-Token: " + std::string(kToken) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(connect_body.size()) +
           "\r\nConnection: close\r\n\r\n" + connect_body},
      {"disconnect",
       [&](std::uint16_t port) { EXPECT_TRUE(engine_disconnect(port, kToken)); },
       "POST /disconnect HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Bren-Control-Token: " + std::string(kToken) +
           "\r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"},
      {"exchange with body",
       [&](std::uint16_t port) {
         EXPECT_TRUE(engine_exchange(port, kToken, "POST", "/carrier/offer", &offer_body, in(10s)));
       },
       "POST /carrier/offer HTTP/1.0\r\nHost: 127.0.0.1\r\nX-Bren-Control-Token: " + std::string(kToken) +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(offer_json.size()) +
           "\r\nConnection: close\r\n\r\n" + offer_json},
      {"exchange with empty object",
       [&](std::uint16_t port) {
         EXPECT_TRUE(engine_exchange(port, kToken, "POST", "/datagram/stop", &empty_object, in(10s)));
       },
       "POST /datagram/stop HTTP/1.0\r\nHost: 127.0.0.1\r\nX-Bren-Control-Token: " + std::string(kToken) +
           "\r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"},
      {"exchange without body: no Content-Type, length 0",
       [&](std::uint16_t port) {
         EXPECT_TRUE(engine_exchange(port, kToken, "GET", "/carrier/status", nullptr, in(10s)));
       },
       "GET /carrier/status HTTP/1.0\r\nHost: 127.0.0.1\r\nX-Bren-Control-Token: " + std::string(kToken) +
           "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    OneShotServer server(reply_with("HTTP/1.1 200 OK\r\n\r\n{}"));
    row.call(server.port());
    server.finish();
    EXPECT_EQ(server.received(), row.expected);
  }
}

// ---------------------------------------------------------------------------
// engine_connect

TEST(EngineConnect, JudgesTheReplyByItsFirstTenBytes) {
  struct Row {
    const char* name;
    OneShotServer::Script reply;
    std::optional<std::string> error;  // nullopt: success
  };
  const std::vector<Row> rows = {
      {"1.1 204 No Content", reply_with("HTTP/1.1 204 No Content\r\n\r\n"), std::nullopt},
      {"1.0 200 with body", reply_with("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nok"), std::nullopt},
      {"1.0 299", reply_with("HTTP/1.0 299 Whatever\r\n\r\n"), std::nullopt},
      {"exactly ten bytes", reply_with("HTTP/1.1 2"), std::nullopt},
      {"nine bytes", reply_with("HTTP/1.1 "), "engine_start_failed"},
      {"401", reply_with("HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n"), "engine_start_failed"},
      {"500", reply_with("HTTP/1.0 500 Internal Server Error\r\n\r\n"), "engine_start_failed"},
      {"HTTP/2", reply_with("HTTP/2 200 OK\r\n\r\n"), "engine_start_failed"},
      {"lower-case protocol", reply_with("http/1.1 200 OK\r\n\r\n"), "engine_start_failed"},
      {"closed without reply", reply_with(""), "engine_start_failed"},
      {"invalid UTF-8 in the body", reply_with("HTTP/1.1 200 OK\r\n\r\nok\xFF"), "engine_read_failed"},
      {"UTF-8 sequence cut by the end", reply_with("HTTP/1.1 200 OK\r\n\r\n\xE2\x82"), "engine_read_failed"},
      {"surrogate in the body", reply_with("HTTP/1.1 200 OK\r\n\r\n\xED\xA0\x80"), "engine_read_failed"},
      // One byte per segment: multi-byte characters arrive split across receives.
      {"trickled multi-byte text", trickle("HTTP/1.1 200 OK\r\n\r\n\xC3\xBC\xE2\x82\xAC\xF0\x9D\x84\x9E", 1ms),
       std::nullopt},
      {"trickled invalid sequence", trickle("HTTP/1.1 200 OK\r\n\r\n\xE0\x80\x80", 1ms), "engine_read_failed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    OneShotServer server(row.reply);
    Status st = engine_connect(server.port(), kToken, "{}");
    if (row.error) {
      ASSERT_FALSE(st);
      EXPECT_EQ(st.error(), *row.error);
    } else {
      EXPECT_TRUE(st) << st.error();
    }
  }
}

TEST(EngineConnect, ReadsALargeReplyToTheEnd) {
  // Far beyond the exchange limit: /connect has none, and success still depends
  // only on the start.
  std::string reply = "HTTP/1.1 200 OK\r\n\r\n" + std::string(3 * kEngineResponseLimit, 'x');
  OneShotServer server(reply_with(reply));
  EXPECT_TRUE(engine_connect(server.port(), kToken, "{}"));
}

TEST(EngineConnect, SilentEngineFailsWithReadFailedAfterTheReceiveLimit) {
  OneShotServer server(silent());
  const auto start = MonoClock::now();
  Status st = engine_connect(server.port(), kToken, "{}", 300ms);
  const auto took = MonoClock::now() - start;
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), "engine_read_failed");
  EXPECT_GE(took, 250ms);  // socket limits may round a little
  EXPECT_LT(took, 10s);
}

TEST(EngineConnect, ReceiveLimitIsPerReceiveNotOverall) {
  // Twelve bytes, 100 ms apart: 1.1 s in all, each gap far below the 600 ms limit.
  OneShotServer server(trickle("HTTP/1.1 200", 100ms));
  EXPECT_TRUE(engine_connect(server.port(), kToken, "{}", 600ms));
}

TEST(EngineConnect, DefaultLimits) {
  EXPECT_EQ(kEngineConnectReceiveLimit, 30s);
  EXPECT_EQ(kEngineConnectSendLimit, 30s);
  EXPECT_GE(kEngineConnectOverallLimit, 2 * kEngineConnectReceiveLimit);
}

// An engine must not be able to hold a start, and every lifecycle operation
// waiting behind it, for ever: by never reading its configuration, or by
// trickling its reply just fast enough for each receive.
TEST(EngineConnect, NeitherANonReadingNorATricklingEngineHoldsItForEver) {
  // Accepted by the system's listen queue and never read by anyone: the
  // configuration fills the socket buffers and the write can only wait.
  auto never_reads = TcpListener::bind_loopback(0);
  ASSERT_TRUE(never_reads);
  OneShotServer trickler(trickle("HTTP/1.1 200 OK\r\n\r\n" + std::string(40, 'z'), 100ms));  // about 6 s in all
  struct Row {
    const char* name;
    std::uint16_t port;
    std::string config;
    Duration receive_limit, send_limit, overall_limit;
    const char* error;
  };
  const std::vector<Row> rows = {
      {"never reads an 8 MiB configuration", never_reads->port(), std::string(8 << 20, 'c'), 30s, 300ms, 90s,
       "engine_write_failed"},
      // Every gap is far below the receive limit; only the bound on the whole strikes.
      {"trickles its reply", trickler.port(), "{}", 2s, 30s, 500ms, "engine_read_failed"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto start = MonoClock::now();
    Status st = engine_connect(row.port, kToken, row.config, row.receive_limit, row.send_limit, row.overall_limit);
    const auto took = MonoClock::now() - start;
    ASSERT_FALSE(st);
    EXPECT_EQ(st.error(), row.error);
    EXPECT_LT(took, 5s);
  }
}

// ---------------------------------------------------------------------------
// engine_exchange over a socket

TEST(EngineExchange, ResponseSizeLimitIsInclusive) {
  const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
  struct Row {
    const char* name;
    std::size_t total;
    bool accepted;
  };
  const std::vector<Row> rows = {
      {"exactly the limit", kEngineResponseLimit, true},
      {"one byte over", kEngineResponseLimit + 1, false},
      {"far over", 4 * kEngineResponseLimit, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    OneShotServer server(reply_with(head + std::string(row.total - head.size(), 'b')));
    auto r = engine_exchange(server.port(), kToken, "GET", "/datagram/status", nullptr, in(15s));
    if (row.accepted) {
      ASSERT_TRUE(r) << r.error();
      EXPECT_EQ(r->status, 200);
      EXPECT_EQ(r->body.size(), row.total - head.size());
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), "engine_response_too_large");
    }
  }
}

TEST(EngineExchange, RepliesAreParsedIntoStatusAndBody) {
  struct Row {
    const char* name;
    OneShotServer::Script reply;
    std::uint16_t status;
    std::string body;
  };
  const std::vector<Row> rows = {
      {"plain 200", reply_with("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"ok\":true}"), 200,
       "{\"ok\":true}"},
      {"trickled 409", trickle("HTTP/1.0 409 Conflict\r\n\r\nstale", 1ms), 409, "stale"},
      {"invalid UTF-8 replaced", reply_with("HTTP/1.0 200 OK\r\n\r\na\xFF" "b"), 200, "a\xEF\xBF\xBD" "b"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    OneShotServer server(row.reply);
    auto r = engine_exchange(server.port(), kToken, "GET", "/carrier/status", nullptr, in(15s));
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->status, row.status);
    EXPECT_EQ(r->body, row.body);
  }
}

TEST(EngineExchange, MalformedReplyIsInvalid) {
  OneShotServer server(reply_with("HTTP/1.0 OK\r\n\r\n{}"));
  auto r = engine_exchange(server.port(), kToken, "GET", "/carrier/status", nullptr, in(15s));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "engine_response_invalid");
}

TEST(EngineExchange, DeadlineInThePastMakesNoConnectionAttempt) {
  auto listener = TcpListener::bind_loopback(0);
  ASSERT_TRUE(listener);
  for (MonoTime deadline : {MonoClock::now() - 1s, MonoClock::now()}) {
    auto r = engine_exchange(listener->port(), kToken, "GET", "/carrier/status", nullptr, deadline);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), "engine_deadline_exceeded");
  }
  // A connect would already sit in the listen queue: the call returned only
  // after it. A short bound suffices to see that the queue is empty.
  auto conn = listener->accept(50ms);
  ASSERT_FALSE(conn);
  EXPECT_EQ(conn.error(), platform::kTcpTimedOut);
}

TEST(EngineExchange, DeadlinePassingBetweenReceivesIsDeadlineExceeded) {
  // Every clock reading advances 10 s; the deadline falls after the third, so the
  // first receive has 5 s of real time and the next loop turn finds it spent.
  const MonoTime start = MonoClock::now();
  SteppingClock clock(start, 10s);
  OneShotServer server([](TcpStream& s) {
    (void)s.send_all("HTTP/1.0 200 OK\r\n");
    wait_for_client_close(s);
  });
  auto r = engine_exchange(server.port(), kToken, "GET", "/carrier/status", nullptr, start + 35s, clock);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "engine_deadline_exceeded");
}

TEST(EngineExchange, ReplyTrickledPastTheDeadlineFails) {
  std::string reply = "HTTP/1.0 200 OK\r\n\r\n" + std::string(200, 'z');
  OneShotServer server(trickle(reply, 20ms));  // about 4.4 s in all
  const auto start = MonoClock::now();
  auto r = engine_exchange(server.port(), kToken, "GET", "/carrier/status", nullptr, in(400ms));
  const auto took = MonoClock::now() - start;
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error() == "engine_read_failed" || r.error() == "engine_deadline_exceeded") << r.error();
  EXPECT_LT(took, 3s);
}

TEST(EngineExchange, SilentEngineFailsAtTheDeadline) {
  OneShotServer server(silent());
  auto r = engine_exchange(server.port(), kToken, "GET", "/carrier/status", nullptr, in(300ms));
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error() == "engine_read_failed" || r.error() == "engine_deadline_exceeded") << r.error();
}

TEST(EngineClient, NothingListeningIsConnectFailedForEveryOperation) {
  const std::uint16_t port = dead_port();
  Status c = engine_connect(port, kToken, "{}");
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "engine_connect_failed");
  Status d = engine_disconnect(port, kToken);
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error(), "engine_connect_failed");

  const auto start = MonoClock::now();
  auto r = engine_exchange(port, kToken, "GET", "/carrier/status", nullptr, in(12s));
  const auto took = MonoClock::now() - start;
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "engine_connect_failed");
  EXPECT_LT(took, kEngineExchangeConnectLimit + 1s);
}

// ---------------------------------------------------------------------------
// parse_engine_reply: pure, table-driven

TEST(ParseEngineReply, Table) {
  struct Row {
    const char* name;
    std::string input;
    std::optional<std::uint16_t> status;  // nullopt: engine_response_invalid
    std::string body;
  };
  const std::vector<Row> rows = {
      {"typical", "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"ok\":true}", 200, "{\"ok\":true}"},
      {"empty body", "HTTP/1.1 204 No Content\r\n\r\n", 204, ""},
      {"any first word, 999", "X 999\r\n\r\n", 999, ""},
      {"largest status", "HTTP/1.0 65535\r\n\r\n", 65535, ""},
      {"zero status", "HTTP/1.0 0\r\n\r\n", 0, ""},
      {"plus sign", "HTTP/1.0 +201 Created\r\n\r\n", 201, ""},
      {"leading zeros", "HTTP/1.0 000200\r\n\r\n", 200, ""},
      {"runs of blanks and tabs", " \tHTTP/1.0 \t  404\tNot Found\r\n\r\nnope", 404, "nope"},
      {"non-ASCII white space separates", "HTTP/1.0\xC2\xA0" "202\xE3\x80\x80" "Accepted\r\n\r\n", 202, ""},
      {"status line ends at LF", "HTTP/1.0 200\nX-A: 1\r\n\r\nb", 200, "b"},
      {"status line is the whole head", "HTTP/1.0 301", std::nullopt, ""},
      {"body keeps later blank lines", "HTTP/1.0 200 OK\r\n\r\na\r\n\r\nb", 200, "a\r\n\r\nb"},
      {"invalid UTF-8 in body", "HTTP/1.0 200 OK\r\n\r\n\xC0\xAF", 200, "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"invalid UTF-8 in reason", "HTTP/1.0 200 \xFF\r\n\r\nx", 200, "x"},
      {"no blank line", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n", std::nullopt, ""},
      {"LF-only blank line", "HTTP/1.0 200 OK\n\n{}", std::nullopt, ""},
      {"no second word", "HTTP/1.0 OK\r\n\r\n", std::nullopt, ""},
      {"only one word", "HTTP/1.0\r\n\r\n", std::nullopt, ""},
      {"empty head", "\r\n\r\nbody", std::nullopt, ""},
      {"white space only", " \t\r\n\r\n", std::nullopt, ""},
      {"too large", "HTTP/1.0 65536\r\n\r\n", std::nullopt, ""},
      {"far too large", "HTTP/1.0 99999999999999999999\r\n\r\n", std::nullopt, ""},
      {"negative", "HTTP/1.0 -200\r\n\r\n", std::nullopt, ""},
      {"plus only", "HTTP/1.0 +\r\n\r\n", std::nullopt, ""},
      {"double plus", "HTTP/1.0 ++200\r\n\r\n", std::nullopt, ""},
      {"trailing letter", "HTTP/1.0 200a\r\n\r\n", std::nullopt, ""},
      {"fullwidth digits", "HTTP/1.0 \xEF\xBC\x92\xEF\xBC\x90\xEF\xBC\x90\r\n\r\n", std::nullopt, ""},
      {"status on the second line", "HTTP/1.0\r\n200\r\n\r\n", std::nullopt, ""},
      {"empty input", "", std::nullopt, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto r = parse_engine_reply(row.input);
    if (!row.status) {
      ASSERT_FALSE(r) << "status " << r->status;
      EXPECT_EQ(r.error(), "engine_response_invalid");
    } else {
      ASSERT_TRUE(r) << r.error();
      EXPECT_EQ(r->status, *row.status);
      EXPECT_EQ(r->body, row.body);
    }
  }
}

// ---------------------------------------------------------------------------
// The socket layer's own promises that the client relies on

TEST(TcpLoopback, ReceiveTimeOutIsDistinguishable) {
  auto listener = TcpListener::bind_loopback(0);
  ASSERT_TRUE(listener);
  auto client = platform::tcp_connect_loopback(listener->port(), 2s);
  ASSERT_TRUE(client) << client.error();
  auto server = listener->accept(kServerWaitBound);
  ASSERT_TRUE(server);
  ASSERT_TRUE(client->set_receive_timeout(50ms));
  char buf[16];
  auto n = client->receive(buf, sizeof buf);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error(), platform::kTcpTimedOut);

  // After the peer closes, a receive reports end of stream rather than an error.
  ASSERT_TRUE(server->send_all("hi"));
  server->close();
  ASSERT_TRUE(client->set_receive_timeout(kServerWaitBound));
  std::string got;
  for (;;) {
    auto m = client->receive(buf, sizeof buf);
    ASSERT_TRUE(m);
    if (*m == 0) break;
    got.append(buf, *m);
  }
  EXPECT_EQ(got, "hi");
}

TEST(TcpLoopback, SubMillisecondLimitDoesNotMeanForever) {
  auto listener = TcpListener::bind_loopback(0);
  ASSERT_TRUE(listener);
  auto client = platform::tcp_connect_loopback(listener->port(), std::nullopt);
  ASSERT_TRUE(client);
  auto server = listener->accept(kServerWaitBound);
  ASSERT_TRUE(server);
  ASSERT_TRUE(client->set_receive_timeout(1ns));
  char buf[4];
  auto n = client->receive(buf, sizeof buf);
  ASSERT_FALSE(n);
  EXPECT_EQ(n.error(), platform::kTcpTimedOut);
}

TEST(TcpLoopback, ListenerReportsItsPortAndConnectionsReachIt) {
  auto listener = TcpListener::bind_loopback(0);
  ASSERT_TRUE(listener);
  EXPECT_NE(listener->port(), 0);
  auto client = platform::tcp_connect_loopback(listener->port(), 2s);
  ASSERT_TRUE(client);
  EXPECT_NE(client->local_port(), 0);
  auto server = listener->accept(kServerWaitBound);
  ASSERT_TRUE(server);
  ASSERT_TRUE(client->send_all("ping"));
  client->shutdown_send();
  ASSERT_TRUE(server->set_receive_timeout(kServerWaitBound));
  std::string got;
  char buf[8];
  for (;;) {
    auto m = server->receive(buf, sizeof buf);
    ASSERT_TRUE(m);
    if (*m == 0) break;
    got.append(buf, *m);
  }
  EXPECT_EQ(got, "ping");
  // A closed listener's port refuses connections.
  const std::uint16_t port = listener->port();
  listener->close();
  EXPECT_FALSE(platform::tcp_connect_loopback(port, 2s));
}

}  // namespace
}  // namespace brenmoor
