// brenmoor-test-engine: stands in for the proxy engine in tests and demos.
//
//   brenmoor-test-engine -port 0
//
// Prints a few banner lines and "READY port={port}" on standard output, then
// serves the control API on 127.0.0.1 until it is killed. Every request must
// carry the token of BREN_CONTROL_TOKEN in X-Bren-Control-Token (else 401).
// BRENMOOR_ENGINE_FAULTS bends its behaviour (README.md); log lines go to
// standard error, which the service discards.
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "common/secret.h"
#include "control/json_writer.h"
#include "engine/engine_client.h"
#include "platform/env.h"
#include "platform/fs.h"
#include "platform/tcp.h"
#include "tools/test-engine/control_api.h"
#include "tools/test-engine/faults.h"
#include "tools/test-engine/http.h"
#include "tools/test-engine/process_id.h"

#ifdef BRENMOOR_TEST_ENGINE_NETSIM
#include "tools/netsim/netsim_state.h"
#endif

namespace brenmoor::test_engine {
namespace {

using namespace std::chrono_literals;
using platform::TcpStream;

// A client that connects and then stays silent is dropped after this long.
constexpr Duration kRequestReadLimit = 30s;
// How long a "silent" reply holds the connection before giving up on the client.
constexpr Duration kSilentHoldLimit = 10min;
// After the reply, how long we wait for the client to close its side.
constexpr Duration kLingerLimit = 5s;

std::mutex g_log_mutex;

void log_line(std::string_view text) {
  std::lock_guard lock(g_log_mutex);
  std::string line = "brenmoor-test-engine: " + std::string(text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void print_stdout(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

[[noreturn]] void exit_now(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(code);  // no destructors: connection threads may still be running
}

struct Settings {
  std::string token;
  EngineFaults faults;
  std::optional<std::string> request_log;
};

// One JSON line per request, for tests that check what reached the engine.
void record_request(const Settings& settings, const RequestHead& head, bool token_ok, std::string_view body) {
  if (!settings.request_log) return;
  JsonWriter w;
  w.begin_object();
  w.key("method").string(head.method);
  w.key("path").string(head.target);
  w.key("version").string(head.version);
  w.key("token_ok").boolean(token_ok);
  w.key("body").string(body);
  w.end_object();
  std::string line = w.take() + "\n";
  std::lock_guard lock(g_log_mutex);
  platform::append_to_file(*settings.request_log, line);
}

std::string injected_body(std::string_view mode) {
  if (mode == "malformed") return R"({"core_generation":1,"active":tru)";
  if (mode == "bare") return "{}";
  if (mode == "wrong_type") return R"({"core_generation":"1","active":"yes","caps":-1})";
  return "";  // "empty"
}

void send_reply(TcpStream& s, std::string_view text, int trickle_ms) {
  if (trickle_ms <= 0) {
    (void)s.send_all(text);
    return;
  }
  for (char c : text) {
    if (!s.send_all(std::string_view(&c, 1))) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(trickle_ms));
  }
}

// Reads until the client closes its side or the limit passes.
void drain(TcpStream& s, Duration limit) {
  if (!s.set_receive_timeout(limit)) return;
  char buf[4096];
  for (;;) {
    auto n = s.receive(buf, sizeof buf);
    if (!n || *n == 0) return;
  }
}

// Reads one request: the head up to the blank line, then Content-Length bytes.
struct ReadRequest {
  RequestHead head;
  std::string body;
};
std::optional<ReadRequest> read_request(TcpStream& s, std::string* bad_request) {
  if (!s.set_receive_timeout(kRequestReadLimit)) return std::nullopt;
  std::string data;
  char buf[8192];
  std::size_t blank = std::string::npos;
  while ((blank = data.find("\r\n\r\n")) == std::string::npos) {
    if (data.size() > kMaxHeadBytes + 4) {
      *bad_request = "request head too large";
      return std::nullopt;
    }
    auto n = s.receive(buf, sizeof buf);
    if (!n || *n == 0) return std::nullopt;
    data.append(buf, *n);
  }
  auto head = parse_request_head(std::string_view(data).substr(0, blank));
  if (!head) {
    *bad_request = head.error();
    return std::nullopt;
  }
  ReadRequest out{std::move(*head), data.substr(blank + 4)};
  while (out.body.size() < out.head.content_length) {
    auto n = s.receive(buf, sizeof buf);
    if (!n || *n == 0) return std::nullopt;
    out.body.append(buf, *n);
  }
  out.body.resize(out.head.content_length);
  return out;
}

void serve(TcpStream s, const Settings& settings, ControlApi& api) {
  std::string bad_request;
  auto request = read_request(s, &bad_request);
  if (!request) {
    if (!bad_request.empty()) {
      log_line("bad request: " + bad_request);
      send_reply(s, format_reply("HTTP/1.0", 400, R"({"error":"bad request"})"), 0);
      s.shutdown_send();
      drain(s, kLingerLimit);
    }
    return;
  }
  const RequestHead& head = request->head;
  const bool token_ok = !settings.token.empty() && head.control_token &&
                        equal_in_constant_time(*head.control_token, settings.token);
  record_request(settings, head, token_ok, request->body);
  log_line(head.method + " " + head.target + (token_ok ? "" : " (unauthorised)"));

  Reply reply;
  int trickle_ms = 0;
  std::string reply_mode;
  std::string body_mode;
  if (!token_ok) {
    reply = Reply{401, R"({"error":"control token missing or wrong"})"};
  } else {
    const EndpointFaults f = settings.faults.for_endpoint(endpoint_of(head.target));
    if (f.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(f.delay_ms));
    if (f.reply == "exit") {
      log_line("exiting on " + head.target);
      exit_now(settings.faults.exit_code);
    }
    if (f.reply == "close") return;
    if (f.reply == "silent") {
      drain(s, kSilentHoldLimit);
      return;
    }
    // A non-2xx status stands in for a refusal: the request is not carried out.
    if (f.status && (*f.status < 200 || *f.status > 299)) {
      reply = Reply{*f.status, R"({"error":"injected"})"};
    } else {
      reply = api.handle(head.method, head.target, request->body);
      if (f.status) reply.status = *f.status;
    }
    reply_mode = f.reply;
    body_mode = f.body;
    trickle_ms = f.trickle_ms;
  }
  if (!body_mode.empty()) reply.body = injected_body(body_mode);

  std::string text = format_reply(head.version, reply.status, reply.body);
  if (reply_mode == "no_blank_line") {
    text.resize(text.find("\r\n\r\n") + 2);
  } else if (reply_mode == "oversized" && text.size() <= kEngineResponseLimit) {
    text.append(kEngineResponseLimit + 1 - text.size(), ' ');
  }
  send_reply(s, text, trickle_ms);
  // Close gracefully: the client reads to the end of the stream, and closing with
  // its bytes unread would turn our close into a reset that can cut the reply.
  s.shutdown_send();
  drain(s, kLingerLimit);
}

// BRENMOOR_NETSIM names the simulated network's state file; unset or empty: none.
bool simulated_network() {
  auto path = platform::get_env("BRENMOOR_NETSIM");
  return path && !path->empty();
}

// linger_runs > 0: the adapter is left in place at /disconnect and outlives this
// process by that many tool runs of the simulated network.
AdapterHooks adapter_hooks(int linger_runs) {
  const std::string alias(kAdapterAlias);
  AdapterHooks hooks;
  hooks.create = [alias, linger_runs](std::string* error) {
    if (!simulated_network()) {
      log_line("tun adapter \"" + alias + "\" requested (no simulated network)");
      return true;
    }
#ifdef BRENMOOR_TEST_ENGINE_NETSIM
    bool ok = netsim::create_engine_adapter(alias, current_process_id(), error, linger_runs);
    log_line(ok ? "tun adapter created" : "tun adapter creation failed: " + *error);
    return ok;
#else
    *error = "built without the simulated network";
    return false;
#endif
  };
  hooks.remove = [alias, linger_runs](std::string* error) {
    if (linger_runs > 0) {
      log_line("tun adapter left to linger");
      return true;
    }
    if (!simulated_network()) {
      log_line("tun adapter \"" + alias + "\" removal requested (no simulated network)");
      return true;
    }
#ifdef BRENMOOR_TEST_ENGINE_NETSIM
    bool ok = netsim::remove_adapter(alias, error);
    log_line(ok ? "tun adapter removed" : "tun adapter removal failed: " + *error);
    return ok;
#else
    *error = "built without the simulated network";
    return false;
#endif
  };
  return hooks;
}

int run(int argc, char** argv) {
#ifdef SIGPIPE
  // The service closes our standard output after the readiness line.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  std::uint16_t port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "-port" && i + 1 < argc) {
      std::string_view text = argv[++i];
      int v = -1;
      auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
      if (ec != std::errc() || p != text.data() + text.size() || v < 0 || v > 65535) {
        log_line("bad port");
        return 2;
      }
      port = static_cast<std::uint16_t>(v);
    } else {
      log_line("unknown argument: " + std::string(a));
      return 2;
    }
  }

  // Process lifetime: the connection threads are detached and never joined.
  static Settings settings;
  settings.token = platform::get_env("BREN_CONTROL_TOKEN").value_or("");
  settings.request_log = platform::get_env("BRENMOOR_ENGINE_REQUEST_LOG");
  auto faults = parse_faults(platform::get_env("BRENMOOR_ENGINE_FAULTS").value_or(""));
  if (!faults) {
    log_line(faults.error());
    return 2;
  }
  settings.faults = std::move(*faults);
  if (settings.token.empty()) log_line("BREN_CONTROL_TOKEN is not set: every request will be refused");

  print_stdout("brenmoor-test-engine 1.0 (stand-in engine)\n");
  print_stdout("assets: " + platform::get_env("XRAY_LOCATION_ASSET").value_or("(unset)") + "\n");
  if (settings.faults.exit_before_ready) exit_now(*settings.faults.exit_before_ready);

  auto listener = platform::TcpListener::bind_loopback(port);
  if (!listener) {
    log_line("cannot listen on 127.0.0.1:" + std::to_string(port));
    return 3;
  }
  print_stdout("control api listening on 127.0.0.1\n");

  static ControlApi api(settings.faults, adapter_hooks(settings.faults.adapter_linger_runs));

  if (settings.faults.ready_delay_ms > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(settings.faults.ready_delay_ms));
  }
  if (!settings.faults.no_ready) {
    const int announced = settings.faults.ready_port.value_or(listener->port());
    print_stdout("READY port=" + std::to_string(announced) + "\n");
  }
  if (settings.faults.exit_after_ready_ms) {
    const int after = *settings.faults.exit_after_ready_ms;
    const int code = settings.faults.exit_code;
    std::thread([after, code] {
      std::this_thread::sleep_for(std::chrono::milliseconds(after));
      log_line("exiting as asked");
      exit_now(code);
    }).detach();
  }

  for (;;) {
    auto conn = listener->accept();
    if (!conn) {
      std::this_thread::sleep_for(10ms);  // out of descriptors, say: try again shortly
      continue;
    }
    std::thread([c = std::move(*conn)]() mutable { serve(std::move(c), settings, api); }).detach();
  }
}

}  // namespace
}  // namespace brenmoor::test_engine

int main(int argc, char** argv) { return brenmoor::test_engine::run(argc, argv); }
