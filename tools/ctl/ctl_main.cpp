// brenmoor-ctl: one request to the brenmoor service per run, its response printed.
// It passes the service's identity check only when installed as brenmoor-win.exe
// under the ProgramFiles directory. See docs/dev-host.md.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "control/frame.h"
#include "control/json_writer.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/paths.h"
#include "platform/pipe_client.h"
#include "platform/process_info.h"
#include "tools/ctl/ctl_render.h"

namespace fs = std::filesystem;
using namespace brenmoor;

namespace {

constexpr int kExitRefused = 1;  // the service answered, success false
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;
constexpr std::uint32_t kMaxResponseBytes = 64u << 20;

const char* const kUsage =
    "usage: brenmoor-ctl [--json] [--pipe PATH] [--token TOKEN] [--token-file PATH] COMMAND ...\n"
    "  status\n"
    "  start --config FILE --server ADDRESS [--lease SECONDS]     (saves the session token)\n"
    "  stop\n"
    "  renew [--lease SECONDS]\n"
    "  carrier offer --endpoint HOST:PORT --port-count N --pin P --auth A --consumer-key K\n"
    "                --node-name N --uplink HOST:PORT --server-name S [--generation N]\n"
    "  carrier status | carrier stop --generation N\n"
    "  datagram start --port N [--auth A] [--private-key HEX] [--node-public-key HEX] [--allow-443]\n"
    "  datagram auth --auth A | datagram stop | datagram status\n"
    "  raw [FILE|-]    send FILE (or standard input) as the request body, print the response body\n"
    "The session token is read from --token, else from the token file that start writes:\n"
    "--token-file, else $BRENMOOR_CTL_TOKEN_FILE, else " 
#ifdef _WIN32
    "%LOCALAPPDATA%\\Pellamy\\brenmoor-ctl-session-token.\n"
#else
    "${XDG_STATE_HOME:-$HOME/.local/state}/brenmoor/session-token.\n"
#endif
    "Exit code: 0 when the service reports success, 1 when it does not, 2 for usage errors,\n"
    "3 when the service cannot be reached.\n";

std::string default_token_file() {
  if (auto f = platform::get_env("BRENMOOR_CTL_TOKEN_FILE"); f && !f->empty()) return *f;
#ifdef _WIN32
  if (auto base = platform::get_env("LOCALAPPDATA"); base && !base->empty())
    return platform::join_path(platform::join_path(*base, "Pellamy"), "brenmoor-ctl-session-token");
#else
  if (auto state = platform::get_env("XDG_STATE_HOME"); state && !state->empty())
    return *state + "/brenmoor/session-token";
  if (auto home = platform::get_env("HOME"); home && !home->empty()) return *home + "/.local/state/brenmoor/session-token";
#endif
  return "brenmoor-ctl-session-token";
}

std::optional<std::string> read_whole(const std::string& path) {
  if (path == "-") return std::string((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool save_token(const std::string& path, const std::string& token) {
  std::error_code ec;
  const fs::path p = fs::u8path(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path(), ec);
  {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << token << '\n';
    if (!out) return false;
  }
  // The token is what authorises stop and the lanes: keep it to its owner.
  fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
  return true;
}

std::string load_token(const std::string& path) {
  auto text = read_whole(path);
  if (!text) return {};
  while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
  return *text;
}

// "--name value" flags after the subcommand words; "--allow-443" stands alone.
struct Flags {
  std::map<std::string, std::string> values;
  std::vector<std::string> words;
  bool has(const std::string& k) const { return values.count(k) != 0; }
  std::string get(const std::string& k, const std::string& dflt = "") const {
    auto it = values.find(k);
    return it == values.end() ? dflt : it->second;
  }
};

std::optional<Flags> parse_flags(const std::vector<std::string>& args, std::size_t from) {
  Flags f;
  for (std::size_t i = from; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--allow-443") {
      f.values[a] = "true";
    } else if (a.size() > 2 && a.substr(0, 2) == "--") {
      if (i + 1 >= args.size()) return std::nullopt;
      f.values[a] = args[++i];
    } else {
      f.words.push_back(a);
    }
  }
  return f;
}

std::optional<std::uint64_t> number(const std::string& text, std::uint64_t max) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    if (v > (max - static_cast<std::uint64_t>(c - '0')) / 10) return std::nullopt;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return v;
}

int usage(const std::string& why) {
  std::fprintf(stderr, "brenmoor-ctl: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

void begin_request(JsonWriter& w, const char* command) {
  const WallTime now = platform::wall_now();
  const std::int64_t ms = now.unix_seconds * 1000 + now.nanos / 1000000;
  w.begin_object();
  w.key("version").unsigned_integer(1);
  w.key("command").string(command);
  w.key("request_id").string("ctl-" + std::to_string(ms));
  w.key("issued_at_unix_ms").integer(ms);
}

std::string describe_unreachable(const std::string& code, const std::string& pipe) {
  if (code == platform::kPipeNotFound) return "the brenmoor service is not running (no control pipe at " + pipe + ")";
  if (code == platform::kPipeAccessDenied)
    return "access to the control pipe " + pipe + " is denied (run as an administrator, or start the service with --allowed-sid)";
  if (code == platform::kPipeBusy) return "the service stayed busy; try again";
  return "cannot open the control pipe " + pipe + " (" + code + ")";
}

}  // namespace

int main() {
  const std::vector<std::string> all = platform::command_line_args();
  std::vector<std::string> args(all.begin() + (all.empty() ? 0 : 1), all.end());

  bool json = false;
  std::string pipe = platform::control_pipe_path();
  std::optional<std::string> token;
  std::string token_file = default_token_file();
  std::size_t i = 0;
  for (; i < args.size() && args[i].substr(0, 2) == "--"; ++i) {
    const std::string& a = args[i];
    if (a == "--json") { json = true; continue; }
    if (a == "--help") { std::fputs(kUsage, stdout); return 0; }
    if (i + 1 >= args.size()) return usage("missing value after " + a);
    if (a == "--pipe") pipe = args[++i];
    else if (a == "--token") token = args[++i];
    else if (a == "--token-file") token_file = args[++i];
    else return usage("unknown option " + a);
  }
  if (i >= args.size()) return usage("no command");
  const std::string command = args[i];
  auto flags = parse_flags(args, i + 1);
  if (!flags) return usage("missing value after the last option");
  const std::string session = token ? *token : load_token(token_file);

  std::string body;
  bool raw = false;
  JsonWriter w;
  if (command == "status") {
    begin_request(w, "status");
  } else if (command == "start") {
    if (!flags->has("--config") || !flags->has("--server")) return usage("start needs --config FILE and --server ADDRESS");
    auto config = read_whole(flags->get("--config"));
    if (!config) return usage("cannot read " + flags->get("--config"));
    auto lease = number(flags->get("--lease", "0"), 0xFFFFFFFFu);
    if (!lease) return usage("--lease takes seconds");
    begin_request(w, "start");
    w.key("config_json").string(*config);
    w.key("server_address").string(flags->get("--server"));
    w.key("lease_seconds").unsigned_integer(*lease);
  } else if (command == "stop") {
    begin_request(w, "stop");
    w.key("session_token").string(session);
  } else if (command == "renew") {
    auto lease = number(flags->get("--lease", "0"), 0xFFFFFFFFu);
    if (!lease) return usage("--lease takes seconds");
    begin_request(w, "renew_lease");
    w.key("session_token").string(session);
    w.key("lease_seconds").unsigned_integer(*lease);
  } else if (command == "carrier") {
    if (flags->words.size() != 1) return usage("carrier needs one of offer, status, stop");
    const std::string op = flags->words[0];
    if (op != "offer" && op != "status" && op != "stop") return usage("unknown carrier operation " + op);
    auto generation = number(flags->get("--generation", "0"), UINT64_MAX);
    if (!generation) return usage("--generation takes a number");
    begin_request(w, "carrier");
    w.key("session_token").string(session);
    w.key("carrier").begin_object();
    w.key("op").string(op);
    w.key("generation").unsigned_integer(*generation);
    if (op == "offer") {
      auto ports = number(flags->get("--port-count", "0"), 65535);
      if (!ports) return usage("--port-count takes 0..65535");
      w.key("config").begin_object();
      w.key("endpoint").string(flags->get("--endpoint"));
      w.key("port_count").unsigned_integer(*ports);
      w.key("pin").string(flags->get("--pin"));
      w.key("auth").string(flags->get("--auth"));
      w.key("consumer_key").string(flags->get("--consumer-key"));
      w.key("node_name").string(flags->get("--node-name"));
      w.key("uplink").string(flags->get("--uplink"));
      w.key("server_name").string(flags->get("--server-name"));
      w.end_object();
    }
    w.end_object();
  } else if (command == "datagram") {
    if (flags->words.size() != 1) return usage("datagram needs one of start, auth, stop, status");
    auto port = number(flags->get("--port", "0"), 65535);
    if (!port) return usage("--port takes 0..65535");
    begin_request(w, "datagram");
    w.key("session_token").string(session);
    w.key("datagram").begin_object();
    w.key("op").string(flags->words[0]);  // the service judges the operation
    w.key("port").unsigned_integer(*port);
    w.key("auth").string(flags->get("--auth"));
    w.key("private_key").string(flags->get("--private-key"));
    w.key("node_public_key").string(flags->get("--node-public-key"));
    w.key("allow_443").boolean(flags->has("--allow-443"));
    w.end_object();
  } else if (command == "raw") {
    const std::string source = flags->words.empty() ? "-" : flags->words[0];
    auto text = read_whole(source);
    if (!text) return usage("cannot read " + source);
    body = std::move(*text);
    raw = true;
  } else {
    return usage("unknown command " + command);
  }
  if (!raw) {
    w.end_object();
    body = w.take();
  }

  auto client = platform::open_pipe_client(pipe, std::chrono::seconds(5));
  if (!client) {
    std::fprintf(stderr, "error: %s\n", describe_unreachable(client.error(), pipe).c_str());
    return kExitUnreachable;
  }
  // A refused client may find the connection closed before its request is written;
  // the service's answer is still waiting to be read.
  (void)write_frame(*client, body);
  auto response = read_frame(*client, kMaxResponseBytes);
  if (!response) {
    std::fprintf(stderr, "error: no response from the service (%s)\n", response.error().c_str());
    return kExitUnreachable;
  }

  auto view = ctl::parse_response(*response);
  if (json || raw) {
    std::fwrite(response->data(), 1, response->size(), stdout);
    std::fputc('\n', stdout);
  }
  if (!view) {
    if (!json && !raw) std::fprintf(stderr, "error: the service's response is not a response record\n");
    return kExitRefused;
  }
  if (!json && !raw) {
    std::string text = ctl::render_response(*view);
    if (!view->success && view->error == "client_identity_unverified") {
      if (auto self = platform::current_executable_path()) text += "  (this program is " + *self + ")\n";
    }
    std::fputs(text.c_str(), view->success ? stdout : stderr);
  }
  if (command == "start" && view->success && !view->session_token.empty()) {
    if (save_token(token_file, view->session_token)) {
      if (!json) std::printf("session token saved to %s\n", token_file.c_str());
    } else {
      std::fprintf(stderr, "warning: could not save the session token to %s\n", token_file.c_str());
    }
  }
  return view->success ? 0 : kExitRefused;
}
