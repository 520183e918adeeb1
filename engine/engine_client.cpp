#include "engine/engine_client.h"

#include <algorithm>
#include <initializer_list>
#include <optional>
#include <variant>

#include "common/secret.h"
#include "common/utf8.h"
#include "platform/tcp.h"

namespace brenmoor {
namespace {

using platform::TcpStream;

// Overwrites a secret-bearing string with zeros when the scope ends, on every path.
class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& s) : s_(s) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { zero_and_clear(s_); }

 private:
  std::string& s_;
};

// Joins the parts into one string allocated once at its final size, so that no
// reallocation leaves a stray copy of the token or the body in freed memory.
std::string concat(std::initializer_list<std::string_view> parts) {
  std::size_t n = 0;
  for (auto p : parts) n += p.size();
  std::string out;
  out.reserve(n);
  for (auto p : parts) out.append(p);
  return out;
}

std::string decimal(std::size_t n) { return std::to_string(n); }

// An upper bound of the compact serialisation's size: a string byte takes at most
// six bytes (\u00XX), a number at most 20 characters. Reserving it up front keeps
// the serialised secrets in one buffer that is wiped afterwards.
std::size_t json_size_bound(const JsonValue& value) {
  struct Visitor {
    std::size_t operator()(std::nullptr_t) const { return 5; }
    std::size_t operator()(bool) const { return 5; }
    std::size_t operator()(std::int64_t) const { return 21; }
    std::size_t operator()(std::uint64_t) const { return 21; }
    std::size_t operator()(const std::string& s) const { return 6 * s.size() + 2; }
    std::size_t operator()(const JsonValue::Array& a) const {
      std::size_t n = 2;
      for (const auto& e : a) n += json_size_bound(e) + 1;
      return n;
    }
    std::size_t operator()(const JsonValue::Object& o) const {
      std::size_t n = 2;
      for (const auto& [k, e] : o) n += 6 * k.size() + 2 + 1 + json_size_bound(e) + 1;
      return n;
    }
  };
  return std::visit(Visitor{}, value.v);
}

std::string serialise_body(const JsonValue& value) {
  JsonWriter w;
  w.text().reserve(json_size_bound(value));
  write_json(w, value);
  return w.take();
}

// "White space" of the status line: the Unicode White_Space characters. Returns
// the byte length of the one at `i`, or 0. The text is valid UTF-8 here.
std::size_t white_space_at(std::string_view s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const std::size_t left = s.size() - i;
  const unsigned char c = b(i);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && left >= 2 && (b(i + 1) == 0x85 || b(i + 1) == 0xA0)) return 2;
  if (left < 3) return 0;
  const unsigned char c1 = b(i + 1), c2 = b(i + 2);
  if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;                 // U+1680
  if (c == 0xE2 && c1 == 0x80 && c2 >= 0x80 && c2 <= 0x8A) return 3;  // U+2000..U+200A
  if (c == 0xE2 && c1 == 0x80 && (c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) return 3;  // U+2028 U+2029 U+202F
  if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;  // U+3000
  return 0;
}

// The first two words of `line`, split at runs of white space.
struct TwoWords {
  std::optional<std::string_view> first, second;
};

TwoWords first_two_words(std::string_view line) {
  TwoWords out;
  std::size_t i = 0;
  for (int word = 0; word < 2; ++word) {
    while (i < line.size()) {
      std::size_t w = white_space_at(line, i);
      if (w == 0) break;
      i += w;
    }
    if (i >= line.size()) break;
    std::size_t start = i;
    while (i < line.size() && white_space_at(line, i) == 0) ++i;
    (word == 0 ? out.first : out.second) = line.substr(start, i - start);
  }
  return out;
}

// Unsigned 16-bit decimal: optional '+', one or more ASCII digits, at most 65535.
std::optional<std::uint16_t> parse_u16(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<std::uint32_t>(c - '0');
    if (v > 65535) return std::nullopt;
  }
  return static_cast<std::uint16_t>(v);
}

// Validates UTF-8 that arrives in pieces, holding back only a sequence cut at the
// end of a piece, so that an unbounded /connect reply needs no unbounded memory.
class Utf8Stream {
 public:
  bool feed(std::string_view chunk) {
    carry_.append(chunk);
    std::size_t cut = complete_prefix(carry_);
    if (!is_valid_utf8(std::string_view(carry_).substr(0, cut))) return false;
    carry_.erase(0, cut);
    return true;
  }
  // A sequence still open at the end of the stream is invalid.
  bool finish() const { return carry_.empty(); }

 private:
  // Length of `s` without a trailing multi-byte sequence that lacks bytes.
  static std::size_t complete_prefix(std::string_view s) {
    for (std::size_t k = 1; k <= 3 && k <= s.size(); ++k) {
      const unsigned char c = static_cast<unsigned char>(s[s.size() - k]);
      if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back
      std::size_t need = c >= 0xF0 && c <= 0xF7 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC0 && c <= 0xDF ? 2 : 1;
      return need > k ? s.size() - k : s.size();
    }
    return s.size();
  }
  std::string carry_;
};

// The request texts, byte for byte as the engine expects them.
std::string connect_body(std::string_view config_text) {
  JsonWriter w;
  w.text().reserve(6 * config_text.size() + 200);
  w.begin_object();
  w.key("ad_block_enabled").boolean(true);
  w.key("config_json").string(config_text);
  w.key("country_code").string("");
  w.key("path_rotate").boolean(false);
  w.key("routing_mode").string("FullDevice");
  w.key("strict_residential_global").boolean(false);
  w.key("web_direct_domains").begin_array().end_array();
  w.end_object();
  return w.take();
}

std::string format_connect_request(std::string_view control_token, std::string_view body) {
  return concat({"POST /connect HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Bren-Control-Token: ", control_token,
                 "\r\nContent-Type: application/json\r\nContent-Length: ", decimal(body.size()),
                 "\r\nConnection: close\r\n\r\n", body});
}

std::string format_disconnect_request(std::string_view control_token) {
  return concat({"POST /disconnect HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Bren-Control-Token: ", control_token,
                 "\r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}"});
}

std::string format_exchange_request(std::string_view method, std::string_view path, std::string_view control_token,
                                    const std::string* body) {
  std::string_view content_type = body != nullptr ? "Content-Type: application/json\r\n" : "";
  std::string_view bytes = body != nullptr ? std::string_view(*body) : std::string_view();
  return concat({method, " ", path, " HTTP/1.0\r\nHost: 127.0.0.1\r\nX-Bren-Control-Token: ", control_token, "\r\n",
                 content_type, "Content-Length: ", decimal(bytes.size()), "\r\nConnection: close\r\n\r\n", bytes});
}

}  // namespace

Result<EngineReply> parse_engine_reply(std::string_view response) {
  std::string text = utf8_lossy(response);
  const std::size_t blank = text.find("\r\n\r\n");
  if (blank == std::string::npos) return fail("engine_response_invalid");
  std::string_view head = std::string_view(text).substr(0, blank);
  std::string_view status_line = head.substr(0, head.find('\n'));
  if (!status_line.empty() && status_line.back() == '\r') status_line.remove_suffix(1);
  TwoWords words = first_two_words(status_line);
  if (!words.first || !words.second) return fail("engine_response_invalid");
  std::optional<std::uint16_t> status = parse_u16(*words.second);
  if (!status) return fail("engine_response_invalid");
  EngineReply reply;
  reply.status = *status;
  reply.body = text.substr(blank + 4);
  return reply;
}

Status engine_connect(std::uint16_t port, std::string_view control_token, std::string_view config_text,
                      Duration receive_limit, Duration send_limit, Duration overall_limit) {
  // Real time, like the socket limits it caps.
  const MonoTime overall_deadline = MonoClock::now() + overall_limit;
  // The configuration carries the server's credentials: neither the body nor
  // the request text outlives this call unwiped.
  std::string body = connect_body(config_text);
  std::string request = format_connect_request(control_token, body);
  zero_and_clear(body);
  WipeOnExit wipe_request(request);

  auto conn = platform::tcp_connect_loopback(port, std::nullopt);
  if (!conn) return fail("engine_connect_failed");
  if (!conn->set_receive_timeout(receive_limit) || !conn->set_send_timeout(send_limit))
    return fail("engine_timeout_failed");
  if (!conn->send_all_until(request, std::min(MonoClock::now() + send_limit, overall_deadline)))
    return fail("engine_write_failed");
  zero_and_clear(request);

  // Only the first ten bytes decide; the rest is read to the end (the engine
  // closes the connection) and checked as UTF-8 without being kept.
  constexpr std::size_t kHeadNeeded = 10;
  std::string head;
  Utf8Stream utf8;
  char buffer[kEngineReceiveChunk];
  for (;;) {
    // Each receive keeps its own limit, cut short by what is left of the whole.
    const Duration left = overall_deadline - MonoClock::now();
    if (left <= Duration::zero()) return fail("engine_read_failed");
    if (left < receive_limit && !conn->set_receive_timeout(left)) return fail("engine_timeout_failed");
    auto n = conn->receive(buffer, sizeof buffer);
    if (!n) return fail("engine_read_failed");
    if (*n == 0) break;
    std::string_view chunk(buffer, *n);
    if (head.size() < kHeadNeeded) head.append(chunk.substr(0, kHeadNeeded - head.size()));
    if (!utf8.feed(chunk)) return fail("engine_read_failed");
  }
  if (!utf8.finish()) return fail("engine_read_failed");
  conn->close();

  std::string_view h(head);
  if (h.size() < kHeadNeeded || !(h.starts_with("HTTP/1.1 2") || h.starts_with("HTTP/1.0 2"))) {
    return fail("engine_start_failed");
  }
  return {};
}

Status engine_disconnect(std::uint16_t port, std::string_view control_token) {
  std::string request = format_disconnect_request(control_token);
  WipeOnExit wipe_request(request);
  auto conn = platform::tcp_connect_loopback(port, std::nullopt);
  if (!conn) return fail("engine_connect_failed");
  if (!conn->send_all(request)) return fail("engine_write_failed");
  return {};
}

Result<EngineReply> engine_exchange(std::uint16_t port, std::string_view control_token, std::string_view method,
                                    std::string_view path, const JsonValue* body, MonoTime deadline, Clock& clock) {
  std::string serialised;
  WipeOnExit wipe_body(serialised);
  if (body != nullptr) serialised = serialise_body(*body);

  Duration remaining = deadline - clock.now();
  if (remaining <= Duration::zero()) return fail("engine_deadline_exceeded");
  auto conn = platform::tcp_connect_loopback(port, std::min(remaining, kEngineExchangeConnectLimit));
  if (!conn) return fail("engine_connect_failed");

  remaining = deadline - clock.now();
  if (remaining <= Duration::zero()) return fail("engine_deadline_exceeded");
  if (!conn->set_send_timeout(remaining)) return fail("engine_timeout_failed");
  {
    std::string request =
        format_exchange_request(method, path, control_token, body != nullptr ? &serialised : nullptr);
    WipeOnExit wipe_request(request);
    // The whole write within what is left: the limit of one send call alone would
    // let an engine that reads a little now and then stretch it.
    if (!conn->send_all_until(request, MonoClock::now() + remaining)) return fail("engine_write_failed");
  }

  std::string response;
  char buffer[kEngineReceiveChunk];
  for (;;) {
    remaining = deadline - clock.now();
    if (remaining <= Duration::zero()) return fail("engine_deadline_exceeded");
    if (!conn->set_receive_timeout(remaining)) return fail("engine_timeout_failed");
    auto n = conn->receive(buffer, sizeof buffer);
    if (!n) return fail("engine_read_failed");
    if (response.size() + *n > kEngineResponseLimit) return fail("engine_response_too_large");
    if (*n == 0) break;
    response.append(buffer, *n);
  }
  conn->close();
  return parse_engine_reply(response);
}

Status require_running_engine(const platform::ProcessExitProbe& engine) {
  if (!engine.running()) return fail("engine_connect_failed");
  return {};
}

}  // namespace brenmoor
