#include "lanes/lane_handlers.h"

#include "control/json_writer.h"
#include "common/secret.h"
#include "common/utf8.h"
#include "engine/engine_client.h"
#include "engine/engine_session.h"
#include "lanes/addresses.h"

namespace brenmoor {
namespace {

struct LaneSnapshot {
  std::uint16_t control_port = 0;
  std::string control_token;
  std::vector<std::string> server_addresses;  // ipv4_servers, then ipv6_servers
  std::optional<std::string> relay;           // the datagram relay: first public IPv4 server
  platform::ProcessExitProbe engine;          // asked before every call (require_running_engine)
  ~LaneSnapshot() { zero_and_clear(control_token); }
};

// Steps shared by both lanes under the SharedState lock: busy or stopping, session
// present, token. Fills the snapshot.
Status take_snapshot(SharedState& state, const ServiceRequest& request, LaneSnapshot& snap) {
  PoisonLock lock(state.mutex());
  if (lock.poisoned()) return fail("state_lock_failed");
  if (state.gate().is_busy() || state.gate().is_stopping()) return fail("service_busy");
  const std::unique_ptr<EngineSession>& session = state.slot();
  if (!session) return fail("session_inactive");
  if (auto ok = check_session_token(session, request.session_token); !ok) return ok;
  snap.control_port = session->control_port;
  snap.control_token = session->control_token;
  snap.server_addresses = session->network_state.ipv4_servers;
  snap.server_addresses.insert(snap.server_addresses.end(), session->network_state.ipv6_servers.begin(),
                               session->network_state.ipv6_servers.end());
  snap.relay = first_public_ipv4(session->network_state.ipv4_servers);
  snap.engine = session->engine_process.exit_probe();
  return {};
}

// Every engine call of a lane goes through here: the engine's process is asked
// first, so that the control token and the lane's secrets never go to a port that
// an ended engine left to whoever binds it next.
Result<EngineReply> call_engine(const LaneSnapshot& snap, const char* method, const char* path, const JsonValue* body,
                                MonoTime deadline, Clock& clock) {
  if (auto running = require_running_engine(snap.engine); !running) return std::unexpected(running.error());
  return engine_exchange(snap.control_port, snap.control_token, method, path, body, deadline, clock);
}

ServiceResponse lane_success() {
  ServiceResponse r;
  r.success = true;
  r.state = "active";
  return r;
}

bool hex64(std::string_view s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

bool auth_text(std::string_view s) {
  if (s.empty() || s.size() > 512) return false;
  for (char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                    c == '-' || c == '/' || c == '=' || c == '_';
    if (!ok) return false;
  }
  return true;
}

// Overwrites the string member `key` of the object `holder` (if it is one) with zeros.
void wipe_member(JsonValue& holder, const char* key) {
  auto* object = std::get_if<JsonValue::Object>(&holder.v);
  if (object == nullptr) return;
  auto it = object->find(key);
  if (it == object->end()) return;
  if (auto* text = std::get_if<std::string>(&it->second.v)) zero_and_clear(*text);
}

// Bodies holding secrets are built member by member, each value made in place in
// its map node: a braced list would first copy every value into a temporary array
// that is released unwiped.
void put(JsonValue::Object& object, const char* key, std::string_view text) {
  object.emplace(key, JsonValue()).first->second.v.emplace<std::string>(text);
}

JsonValue carrier_config_json(const CarrierConfig& c) {
  JsonValue::Object o;
  put(o, "auth", c.auth);
  put(o, "consumer_key", c.consumer_key);
  put(o, "endpoint", c.endpoint);
  put(o, "node_name", c.node_name);
  put(o, "pin", c.pin);
  o.emplace("port_count", static_cast<std::uint64_t>(c.port_count));
  put(o, "server_name", c.server_name);
  put(o, "uplink", c.uplink);
  return JsonValue(std::move(o));
}

std::string status_code(std::string_view prefix, std::uint16_t status) {
  return std::string(prefix) + std::to_string(status);
}

}  // namespace

Status check_carrier_offer(const std::optional<CarrierConfig>& config, std::uint64_t generation,
                           const std::vector<std::string>& server_addresses) {
  if (!config) return fail("carrier_config_missing");
  auto uplink = parse_socket_address(config->uplink);
  if (!uplink) return fail("carrier_floor_invalid");
  auto endpoint = parse_socket_address(config->endpoint);
  if (!endpoint) return fail("carrier_endpoint_invalid");
  if (generation == 0 || uplink->port != 443) return fail("carrier_fields_invalid");
  bool known_server = false;
  for (const std::string& text : server_addresses) {
    auto a = platform::parse_ip_literal(text);
    if (a && *a == uplink->address) known_server = true;
  }
  if (!known_server) return fail("carrier_fields_invalid");
  if (endpoint->port == 0 || !is_public_address(endpoint->address)) return fail("carrier_fields_invalid");
  if (config->auth.size() > 512 || config->pin.size() > 96 || config->consumer_key.size() != 64 ||
      config->node_name.size() > 128 || config->server_name.size() > 253)
    return fail("carrier_fields_invalid");
  return {};
}

Status check_datagram_request(const DatagramRequest& d) {
  if (d.op == "stop" || d.op == "status") return {};
  if (d.op == "auth") {
    if (!auth_text(d.auth)) return fail("datagram_auth_invalid");
    if (!hex64(d.node_public_key)) return fail("datagram_key_invalid");
    return {};
  }
  if (d.op == "start") {
    if (d.port == 0) return fail("datagram_port_invalid");
    if (!hex64(d.private_key)) return fail("datagram_key_invalid");
    if (!auth_text(d.auth)) return fail("datagram_auth_invalid");
    if (!hex64(d.node_public_key)) return fail("datagram_key_invalid");
    return {};
  }
  return fail("datagram_op_invalid");
}

Result<ServiceResponse> EngineLaneHandlers::handle_carrier_request(SharedState& state, const ServiceRequest& request) {
  if (!request.carrier) return fail("carrier_request_missing");
  const CarrierRequest& carrier = *request.carrier;
  LaneSnapshot snap;
  if (auto ok = take_snapshot(state, request, snap); !ok) return std::unexpected(ok.error());
  Clock& clock = state.clock();
  const MonoTime deadline = clock.now() + kLaneDeadline;

  std::optional<JsonValue> body;
  const char* method = "GET";
  const char* path = "/carrier/status";
  switch (carrier.op) {
    case CarrierOp::stop:
      if (carrier.generation == 0) return fail("carrier_generation_invalid");
      method = "POST";
      path = "/carrier/stop";
      body = JsonValue::Object{{"generation", carrier.generation}};
      break;
    case CarrierOp::status:
      break;
    case CarrierOp::offer: {
      if (auto ok = check_carrier_offer(carrier.config, carrier.generation, snap.server_addresses); !ok)
        return std::unexpected(ok.error());
      method = "POST";
      path = "/carrier/offer";
      JsonValue::Object offer;
      offer.emplace("config", carrier_config_json(*carrier.config));
      offer.emplace("generation", carrier.generation);
      body.emplace(std::move(offer));
      break;
    }
  }

  auto reply = call_engine(snap, method, path, body ? &*body : nullptr, deadline, clock);
  if (body) {
    auto* object = std::get_if<JsonValue::Object>(&body->v);
    if (object != nullptr) {
      if (auto it = object->find("config"); it != object->end()) wipe_member(it->second, "auth");
    }
  }
  if (!reply) return std::unexpected(reply.error());
  if (reply->status != 200) return fail(status_code("carrier_engine_status_", reply->status));
  if (carrier.op == CarrierOp::stop) {
    reply = call_engine(snap, "GET", "/carrier/status", nullptr, deadline, clock);
    if (!reply) return std::unexpected(reply.error());
    if (reply->status != 200) return fail("carrier_status_failed");
  }
  auto receipt = decode_carrier_status(reply->body);
  if (!receipt) return fail("carrier_receipt_invalid");

  // The call ran without the lock: refuse a receipt from an engine that was
  // stopped or replaced meanwhile.
  PoisonLock lock(state.mutex());
  if (lock.poisoned()) return fail("state_lock_failed");
  const std::unique_ptr<EngineSession>& session = state.slot();
  if (session) {
    if (auto ok = check_session_token(session, request.session_token); !ok) return std::unexpected(ok.error());
  }
  if (!session || session->control_port != snap.control_port || !equal_in_constant_time(snap.control_token, session->control_token))
    return fail("carrier_session_changed");
  lock.unlock();

  ServiceResponse response = lane_success();
  response.carrier = std::move(*receipt);
  return response;
}

Result<ServiceResponse> EngineLaneHandlers::handle_datagram_request(SharedState& state, const ServiceRequest& request) {
  if (!request.datagram) return fail("datagram_request_missing");
  const DatagramRequest& d = *request.datagram;
  if (auto ok = check_datagram_request(d); !ok) return std::unexpected(ok.error());
  LaneSnapshot snap;
  if (auto ok = take_snapshot(state, request, snap); !ok) return std::unexpected(ok.error());
  Clock& clock = state.clock();
  const MonoTime deadline = clock.now() + kLaneDeadline;

  // "auth" is a secret by its record as much as "private_key": the body's copies
  // of both are wiped once the exchange returns.
  auto post = [&](const char* path, JsonValue body, std::string_view failed_prefix) -> Status {
    auto reply = call_engine(snap, "POST", path, &body, deadline, clock);
    wipe_member(body, "private_key");
    wipe_member(body, "auth");
    std::string detail;
    if (!reply) detail = reply.error();
    else if (reply->status < 200 || reply->status > 299) detail = status_code("engine_status_", reply->status);
    if (detail.empty()) return {};
    return fail(std::string(failed_prefix) + detail);
  };

  Status posted;
  if (d.op == "start") {
    if (!snap.relay) return fail("datagram_relay_unavailable");
    JsonValue::Object start;
    start.emplace("allow_443", d.allow_443);
    put(start, "auth", d.auth);
    put(start, "node_public_key", d.node_public_key);
    put(start, "private_key", d.private_key);
    put(start, "relay_addr", *snap.relay + ":" + std::to_string(d.port));
    posted = post("/datagram/start", JsonValue(std::move(start)), "datagram_start_failed:");
  } else if (d.op == "auth") {
    JsonValue::Object auth;
    put(auth, "auth", d.auth);
    put(auth, "node_public_key", d.node_public_key);
    posted = post("/datagram/auth", JsonValue(std::move(auth)), "datagram_auth_failed:");
  } else if (d.op == "stop") {
    posted = post("/datagram/stop", JsonValue::Object{}, "datagram_stop_failed:");
  }
  if (!posted) return std::unexpected(posted.error());

  // The status read after every op; only for "status" is its failure the answer.
  Result<DatagramStatus> status = [&]() -> Result<DatagramStatus> {
    auto reply = call_engine(snap, "GET", "/datagram/status", nullptr, deadline, clock);
    if (!reply) return std::unexpected(reply.error());
    if (reply->status != 200) return fail(status_code("engine_status_", reply->status));
    return decode_datagram_status(reply->body);
  }();
  ServiceResponse response = lane_success();
  if (status) response.datagram = std::move(*status);
  else if (d.op == "status") return std::unexpected(status.error());
  return response;
}

std::unique_ptr<LaneHandlers> make_lane_handlers() { return std::make_unique<EngineLaneHandlers>(); }

}  // namespace brenmoor
