// brenmoor-ctl: one request to the brenmoor service per run, its response printed.
// It passes the service's identity check only when installed as brenmoor-win.exe
// under the ProgramFiles directory. See docs/dev-host.md.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
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
    "Options may stand before or after the command.\n"
    "Exit code: 0 when the service reports success, 1 when it does not, 2 for usage errors and\n"
    "files that cannot be read, 3 when the service cannot be reached.\n";

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

// The whole file, or the system's reason why it cannot be read.
struct ReadResult {
  std::optional<std::string> text;
  std::string reason;
};

ReadResult read_whole(const std::string& path) {
  if (path == "-") return {std::string((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>()), ""};
  std::error_code ec;
  if (fs::is_directory(fs::u8path(path), ec)) return {std::nullopt, std::generic_category().message(EISDIR)};
  errno = 0;
  std::ifstream in(fs::u8path(path), std::ios::binary);
  if (!in) return {std::nullopt, std::generic_category().message(errno != 0 ? errno : EIO)};
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return {std::nullopt, std::generic_category().message(EIO)};
  return {std::move(text), ""};
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

ReadResult load_token(const std::string& path) {
  ReadResult r = read_whole(path);
  if (r.text) {
    while (!r.text->empty() && (r.text->back() == '\n' || r.text->back() == '\r')) r.text->pop_back();
  }
  return r;
}

// The command's words (the command, then its operation) and its "--name value" flags
// ("--allow-443" stands alone); the options of every command are taken out before.
struct Flags {
  std::map<std::string, std::string> values;
  std::vector<std::string> words;
  bool has(const std::string& k) const { return values.count(k) != 0; }
  std::string get(const std::string& k, const std::string& dflt = "") const {
    auto it = values.find(k);
    return it == values.end() ? dflt : it->second;
  }
};

struct CommandShape {
  const char* name;
  std::size_t min_words, max_words;  // after the command itself
  std::vector<std::string> flags;
};

const std::vector<CommandShape>& command_shapes() {
  static const std::vector<CommandShape> shapes = {
      {"status", 0, 0, {}},
      {"start", 0, 0, {"--config", "--server", "--lease"}},
      {"stop", 0, 0, {}},
      {"renew", 0, 0, {"--lease"}},
      {"carrier", 1, 1,
       {"--endpoint", "--port-count", "--pin", "--auth", "--consumer-key", "--node-name", "--uplink", "--server-name",
        "--generation"}},
      {"datagram", 1, 1, {"--port", "--auth", "--private-key", "--node-public-key", "--allow-443"}},
      {"raw", 0, 1, {}},
  };
  return shapes;
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

// Not a usage error: the command line was right, the file was not there for us.
int cannot_read(const std::string& path, const std::string& reason) {
  std::fprintf(stderr, "error: cannot read %s: %s\n", path.c_str(), reason.c_str());
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
  bool token_file_named = false;
  Flags flags;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--json") { json = true; continue; }
    if (a == "--help") { std::fputs(kUsage, stdout); return 0; }
    if (a == "--allow-443") { flags.values[a] = "true"; continue; }
    if (a.size() > 2 && a.starts_with("--")) {
      if (i + 1 >= args.size()) return usage("missing value after " + a);
      const std::string& v = args[++i];
      if (a == "--pipe") pipe = v;
      else if (a == "--token") token = v;
      else if (a == "--token-file") token_file = v, token_file_named = true;
      else flags.values[a] = v;
      continue;
    }
    flags.words.push_back(a);
  }
  if (flags.words.empty()) return usage("no command");
  const std::string command = flags.words.front();
  flags.words.erase(flags.words.begin());
  const CommandShape* shape = nullptr;
  for (const CommandShape& c : command_shapes())
    if (command == c.name) shape = &c;
  if (shape == nullptr) return usage("unknown command " + command);
  for (const auto& [name, value] : flags.values) {
    if (std::find(shape->flags.begin(), shape->flags.end(), name) == shape->flags.end())
      return usage("unknown option " + name + " for " + command);
  }
  if (flags.words.size() > shape->max_words) return usage("unexpected argument " + flags.words[shape->max_words]);
  if (flags.words.size() < shape->min_words) return usage(command + " needs an operation");

  // Only the commands that carry a session token read one. A token file named on the
  // command line that cannot be read is said as such instead of being sent empty and
  // refused by the service; without one, no saved token means an empty one.
  std::string session;
  if (command == "stop" || command == "renew" || command == "carrier" || command == "datagram") {
    if (token) {
      session = *token;
    } else {
      ReadResult loaded = load_token(token_file);
      if (loaded.text) {
        session = std::move(*loaded.text);
      } else if (token_file_named) {
        std::fprintf(stderr, "error: cannot read the session token from %s: %s (start a session first, or pass --token)\n",
                     token_file.c_str(), loaded.reason.c_str());
        return kExitUsage;
      }
    }
  }

  std::string body;
  bool raw = false;
  JsonWriter w;
  if (command == "status") {
    begin_request(w, "status");
  } else if (command == "start") {
    if (!flags.has("--config") || !flags.has("--server")) return usage("start needs --config FILE and --server ADDRESS");
    ReadResult config = read_whole(flags.get("--config"));
    if (!config.text) return cannot_read(flags.get("--config"), config.reason);
    auto lease = number(flags.get("--lease", "0"), 0xFFFFFFFFu);
    if (!lease) return usage("--lease takes seconds");
    begin_request(w, "start");
    w.key("config_json").string(*config.text);
    w.key("server_address").string(flags.get("--server"));
    w.key("lease_seconds").unsigned_integer(*lease);
  } else if (command == "stop") {
    begin_request(w, "stop");
    w.key("session_token").string(session);
  } else if (command == "renew") {
    auto lease = number(flags.get("--lease", "0"), 0xFFFFFFFFu);
    if (!lease) return usage("--lease takes seconds");
    begin_request(w, "renew_lease");
    w.key("session_token").string(session);
    w.key("lease_seconds").unsigned_integer(*lease);
  } else if (command == "carrier") {
    const std::string op = flags.words[0];
    if (op != "offer" && op != "status" && op != "stop") return usage("unknown carrier operation " + op);
    auto generation = number(flags.get("--generation", "0"), UINT64_MAX);
    if (!generation) return usage("--generation takes a number");
    begin_request(w, "carrier");
    w.key("session_token").string(session);
    w.key("carrier").begin_object();
    w.key("op").string(op);
    w.key("generation").unsigned_integer(*generation);
    if (op == "offer") {
      auto ports = number(flags.get("--port-count", "0"), 65535);
      if (!ports) return usage("--port-count takes 0..65535");
      w.key("config").begin_object();
      w.key("endpoint").string(flags.get("--endpoint"));
      w.key("port_count").unsigned_integer(*ports);
      w.key("pin").string(flags.get("--pin"));
      w.key("auth").string(flags.get("--auth"));
      w.key("consumer_key").string(flags.get("--consumer-key"));
      w.key("node_name").string(flags.get("--node-name"));
      w.key("uplink").string(flags.get("--uplink"));
      w.key("server_name").string(flags.get("--server-name"));
      w.end_object();
    }
    w.end_object();
  } else if (command == "datagram") {
    auto port = number(flags.get("--port", "0"), 65535);
    if (!port) return usage("--port takes 0..65535");
    begin_request(w, "datagram");
    w.key("session_token").string(session);
    w.key("datagram").begin_object();
    w.key("op").string(flags.words[0]);  // the service judges the operation
    w.key("port").unsigned_integer(*port);
    w.key("auth").string(flags.get("--auth"));
    w.key("private_key").string(flags.get("--private-key"));
    w.key("node_public_key").string(flags.get("--node-public-key"));
    w.key("allow_443").boolean(flags.has("--allow-443"));
    w.end_object();
  } else if (command == "raw") {
    const std::string source = flags.words.empty() ? "-" : flags.words[0];
    ReadResult text = read_whole(source);
    if (!text.text) return cannot_read(source, text.reason);
    body = std::move(*text.text);
    raw = true;
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
