#include "tools/test-engine/control_api.h"

#include <simdjson.h>

#include <chrono>
#include <optional>
#include <thread>

#include "control/json_writer.h"
#include "platform/clock.h"
#include "platform/fs.h"

namespace brenmoor::test_engine {
namespace {

namespace dom = simdjson::dom;
using dom::element_type;

constexpr std::int64_t kGrantSeconds = 3600;

Reply error_reply(int status, std::string_view message) {
  JsonWriter w;
  w.begin_object().key("error").string(message).end_object();
  return Reply{status, w.take()};
}

std::int64_t unix_now() { return platform::wall_now().unix_seconds; }

// A parsed JSON object body. Owns its parser: elements point into it.
class JsonBody {
 public:
  explicit JsonBody(std::string_view text) : padded_(text.data(), text.size()) {
    dom::element root;
    if (parser_.parse(padded_).get(root) != simdjson::SUCCESS) return;
    if (root.get_object().get(object_) != simdjson::SUCCESS) return;
    ok_ = true;
  }
  bool ok() const { return ok_; }
  std::optional<dom::element> member(std::string_view key) const {
    dom::element e;
    if (!ok_ || object_.at_key(key).get(e) != simdjson::SUCCESS) return std::nullopt;
    return e;
  }
  std::optional<std::string> string(std::string_view key) const { return as_string(member(key)); }
  std::optional<bool> boolean(std::string_view key) const {
    auto e = member(key);
    bool b = false;
    if (!e || e->type() != element_type::BOOL || e->get_bool().get(b) != simdjson::SUCCESS) return std::nullopt;
    return b;
  }
  std::optional<std::uint64_t> unsigned_integer(std::string_view key) const { return as_u64(member(key)); }

  static std::optional<std::string> as_string(std::optional<dom::element> e) {
    std::string_view s;
    if (!e || e->type() != element_type::STRING || e->get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
    return std::string(s);
  }
  static std::optional<std::uint64_t> as_u64(std::optional<dom::element> e) {
    std::uint64_t v = 0;
    if (!e || (e->type() != element_type::UINT64 && e->type() != element_type::INT64)) return std::nullopt;
    if (e->get_uint64().get(v) != simdjson::SUCCESS) return std::nullopt;
    return v;
  }

 private:
  simdjson::padded_string padded_;
  dom::parser parser_;
  dom::object object_;
  bool ok_ = false;
};

bool parses_as_json(const std::string& text) {
  simdjson::padded_string padded(text.data(), text.size());
  dom::parser parser;
  dom::element root;
  return parser.parse(padded).get(root) == simdjson::SUCCESS;
}

// As the real engine does, and with the service's rights: the configuration's access
// and error logs are opened where it says ("" and "none" mean no file).
void open_configured_logs(const std::string& config) {
  JsonBody root(config);
  auto log = root.member("log");
  dom::object object;
  if (!log || log->get_object().get(object) != simdjson::SUCCESS) return;
  for (const char* key : {"access", "error"}) {
    dom::element e;
    std::string_view file;
    if (object.at_key(key).get(e) != simdjson::SUCCESS || e.get_string().get(file) != simdjson::SUCCESS) continue;
    if (file.empty() || file == "none") continue;
    (void)platform::append_to_file(std::string(file), std::string("brenmoor-test-engine ") + key + " log\n");
  }
}

bool is_hex64(const std::string& s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex) return false;
  }
  return true;
}

}  // namespace

std::string_view endpoint_of(std::string_view path) {
  if (path == "/connect") return "connect";
  if (path == "/disconnect") return "disconnect";
  if (path == "/carrier/offer") return "carrier_offer";
  if (path == "/carrier/status") return "carrier_status";
  if (path == "/carrier/stop") return "carrier_stop";
  if (path == "/datagram/start") return "datagram_start";
  if (path == "/datagram/auth") return "datagram_auth";
  if (path == "/datagram/stop") return "datagram_stop";
  if (path == "/datagram/status") return "datagram_status";
  return "";
}

bool ControlApi::connected() {
  std::lock_guard lock(mutex_);
  return connected_;
}

bool ControlApi::adapter_up() {
  std::lock_guard lock(mutex_);
  return adapter_up_;
}

Reply ControlApi::handle(std::string_view method, std::string_view path, std::string_view body) {
  const std::string_view endpoint = endpoint_of(path);
  if (endpoint.empty()) return error_reply(404, "no such path");
  const bool is_get = endpoint == "carrier_status" || endpoint == "datagram_status";
  if (method != (is_get ? "GET" : "POST")) return error_reply(405, "method not allowed");

  std::lock_guard lock(mutex_);
  if (endpoint == "connect") return connect(body);
  if (endpoint == "disconnect") return disconnect();
  if (endpoint == "carrier_offer") return carrier_offer(body);
  if (endpoint == "carrier_status") return Reply{200, carrier_json()};
  if (endpoint == "carrier_stop") return carrier_stop(body);
  if (endpoint == "datagram_start") return datagram_start(body);
  if (endpoint == "datagram_auth") return datagram_auth(body);
  if (endpoint == "datagram_stop") return datagram_stop();
  return Reply{200, datagram_json()};
}

Reply ControlApi::connect(std::string_view body) {
  JsonBody b(body);
  if (!b.ok()) return error_reply(400, "body is not a JSON object");
  auto config = b.string("config_json");
  auto web = b.member("web_direct_domains");
  if (!b.boolean("ad_block_enabled") || !config || !b.string("country_code") || !b.boolean("path_rotate") ||
      !b.string("routing_mode") || !b.boolean("strict_residential_global") || !web ||
      web->type() != element_type::ARRAY) {
    return error_reply(400, "connect options missing or of the wrong type");
  }
  if (!parses_as_json(*config)) return error_reply(400, "config_json is not JSON");
  if (connected_) return error_reply(409, "already connected");

  open_configured_logs(*config);
  connected_ = true;
  const std::uint64_t epoch = ++connect_epoch_;
  if (faults_.no_adapter) return Reply{200, R"({"connected":true})"};
  if (faults_.adapter_delay_ms > 0) {
    bring_adapter_up_later(epoch);
    return Reply{200, R"({"connected":true})"};
  }
  std::string error;
  if (!hooks_.create(&error)) {
    connected_ = false;
    return error_reply(500, "tun adapter: " + error);
  }
  adapter_up_ = true;
  return Reply{200, R"({"connected":true})"};
}

void ControlApi::bring_adapter_up_later(std::uint64_t epoch) {
  // Detached: the API object lives as long as the process.
  std::thread([this, epoch] {
    std::this_thread::sleep_for(std::chrono::milliseconds(faults_.adapter_delay_ms));
    std::lock_guard lock(mutex_);
    if (epoch != connect_epoch_ || !connected_ || adapter_up_) return;
    std::string error;
    adapter_up_ = hooks_.create(&error);
  }).detach();
}

Reply ControlApi::disconnect() {
  ++connect_epoch_;
  connected_ = false;
  if (adapter_up_) {
    std::string error;
    hooks_.remove(&error);
    adapter_up_ = false;
  }
  carrier_ = Carrier{};
  datagram_ = Datagram{};
  return Reply{200, R"({"connected":false})"};
}

Reply ControlApi::carrier_offer(std::string_view body) {
  JsonBody b(body);
  auto generation = b.unsigned_integer("generation");
  auto config = b.member("config");
  dom::object c;
  if (!b.ok() || !generation || !config || config->get_object().get(c) != simdjson::SUCCESS) {
    return error_reply(400, "offer needs a config object and a generation");
  }
  auto field = [&](std::string_view key) {
    dom::element e;
    return c.at_key(key).get(e) == simdjson::SUCCESS ? std::optional<dom::element>(e) : std::nullopt;
  };
  auto uplink = JsonBody::as_string(field("uplink"));
  auto server_name = JsonBody::as_string(field("server_name"));
  auto port_count = JsonBody::as_u64(field("port_count"));
  bool strings_ok = uplink && server_name;
  for (std::string_view key : {"endpoint", "pin", "auth", "consumer_key", "node_name"}) {
    strings_ok = strings_ok && JsonBody::as_string(field(key)).has_value();
  }
  if (!strings_ok || !port_count || *port_count > 65535) return error_reply(400, "config members missing or wrong");
  if (*generation == 0) return error_reply(400, "generation 0");
  if (*generation < carrier_.core_generation) return error_reply(409, "stale generation");

  carrier_.core_generation = *generation;
  carrier_.installed_generation = *generation;
  carrier_.uplink = *uplink;
  carrier_.server_name = *server_name;
  carrier_.armed = true;
  carrier_.result = "installed";
  carrier_.grant_id = "grant-" + std::to_string(*generation);
  carrier_.not_after_unix = unix_now() + kGrantSeconds;
  carrier_.ready = true;
  carrier_.pending = false;
  carrier_.peer_ack += 1;
  carrier_.initial_packets = *port_count;
  carrier_.active_streams = static_cast<std::int64_t>(*port_count);
  return Reply{200, carrier_json()};
}

Reply ControlApi::carrier_stop(std::string_view body) {
  JsonBody b(body);
  auto generation = b.unsigned_integer("generation");
  if (!b.ok() || !generation) return error_reply(400, "stop needs a generation");
  if (!carrier_.armed || *generation != carrier_.installed_generation) {
    return error_reply(409, "generation not installed");
  }
  carrier_.armed = false;
  carrier_.ready = false;
  carrier_.result = "stopped";
  carrier_.active_streams = 0;
  return Reply{200, carrier_json()};
}

Reply ControlApi::datagram_start(std::string_view body) {
  JsonBody b(body);
  auto allow_443 = b.boolean("allow_443");
  auto auth = b.string("auth");
  auto node = b.string("node_public_key");
  auto key = b.string("private_key");
  auto relay = b.string("relay_addr");
  if (!b.ok() || !allow_443 || !auth || !node || !key || !relay) return error_reply(400, "start members missing");
  if (auth->empty() || !is_hex64(*node) || !is_hex64(*key) || relay->find(':') == std::string::npos) {
    return error_reply(400, "start members invalid");
  }
  datagram_.active = true;
  datagram_.caps = static_cast<std::uint16_t>(*allow_443 ? 0x3 : 0x1);
  datagram_.not_after_unix = unix_now() + kGrantSeconds;
  datagram_.relay_addr = *relay;
  datagram_.auths = 1;
  return Reply{200, R"({"started":true})"};
}

Reply ControlApi::datagram_auth(std::string_view body) {
  JsonBody b(body);
  auto auth = b.string("auth");
  auto node = b.string("node_public_key");
  if (!b.ok() || !auth || !node) return error_reply(400, "auth members missing");
  if (!datagram_.active) return error_reply(409, "relay not started");
  if (faults_.reject_auth || auth->empty() || !is_hex64(*node)) {
    datagram_.auth_rejected += 1;
    return error_reply(403, "auth rejected");
  }
  datagram_.auths += 1;
  datagram_.not_after_unix = unix_now() + kGrantSeconds;
  return Reply{200, R"({"authenticated":true})"};
}

Reply ControlApi::datagram_stop() {
  datagram_.active = false;
  datagram_.caps = 0;
  return Reply{204, ""};
}

std::string ControlApi::carrier_json() const {
  JsonWriter w;
  write_carrier_status(w, carrier_);
  return w.take();
}

std::string ControlApi::datagram_json() const {
  DatagramStatus status = datagram_;
  if (!datagram_.relay_addr.empty()) {
    JsonWriter stats;
    stats.begin_object();
    stats.key("relay_addr").string(datagram_.relay_addr);
    stats.key("auths").unsigned_integer(datagram_.auths);
    stats.end_object();
    status.stats_json = stats.take();
  }
  JsonWriter w;
  write_datagram_status(w, status);
  return w.take();
}

}  // namespace brenmoor::test_engine
