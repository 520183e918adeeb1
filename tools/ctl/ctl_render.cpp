#include "tools/ctl/ctl_render.h"

#include <simdjson.h>

#include <array>

namespace brenmoor::ctl {
namespace {

using simdjson::dom::element;
using simdjson::dom::object;

std::optional<std::vector<std::pair<std::string, std::string>>> members(element e) {
  object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS) return std::nullopt;
  std::vector<std::pair<std::string, std::string>> out;
  for (auto [key, value] : obj) out.emplace_back(std::string(key), simdjson::minify(value));
  return out;
}

struct Explanation {
  std::string_view prefix;  // a code, or the fixed part of a composite code
  std::string_view text;
};

// Every code the service sends, by the step that yields it. Composite codes
// ("{code}:{detail}", "{code}_{status}") are found by their fixed part.
constexpr std::array kExplanations = {
    Explanation{"client_identity_unverified",
                "the service refused this program: it serves only brenmoor-win.exe or pellamy.exe installed under "
                "the ProgramFiles directory"},
    Explanation{"pipe_read_failed", "the service could not read the whole request"},
    Explanation{"request_size_invalid", "the request is empty or larger than 8 MiB"},
    Explanation{"request_decode_failed", "the request is not a valid request record"},
    Explanation{"unsupported_version", "the service speaks protocol version 1 only"},
    Explanation{"state_lock_failed", "the service's session state is damaged; restart the service"},
    Explanation{"service_stopping", "the service is shutting down"},
    Explanation{"service_busy", "another start or stop is in progress; try again shortly"},
    Explanation{"lifecycle_lock_failed", "the service's lifecycle state is damaged; restart the service"},
    Explanation{"session_token_invalid", "the session token is missing or not the active session's"},
    Explanation{"session_inactive", "no session is running"},
    Explanation{"config_too_large", "the engine configuration is too large"},
    Explanation{"server_address_invalid", "the server address is empty, too long or not a host name or IP address"},
    Explanation{"config_invalid", "the engine configuration is not JSON"},
    Explanation{"config_shape_invalid", "the engine configuration is not an object of the required shape"},
    Explanation{"config_section_invalid", "the engine configuration has a section that is not allowed"},
    Explanation{"config_log_invalid",
                "the engine configuration's log section names a log file; only \"\" or \"none\" may be given"},
    Explanation{"config_inbounds_invalid", "the engine configuration needs exactly the one TUN inbound"},
    Explanation{"config_outbounds_invalid",
                "the engine configuration's outbounds are not as required: three, tagged proxy, direct, block in that\n"
                "  order; the proxy is vmess or vless, and its settings.vnext[0].address must be the --server address\n"
                "  exactly as written (byte for byte)"},
    Explanation{"config_carrier_invalid", "the carrier lane switch or its outbound is wrong"},
    Explanation{"config_routing_invalid", "the engine configuration's routing is not as required"},
    Explanation{"service_path_unavailable", "the service cannot find its own executable"},
    Explanation{"service_parent_unavailable", "the service cannot find its own directory"},
    Explanation{"service_dir_unavailable", "the service cannot list its own directory"},
    Explanation{"engine_path_invalid", "no engine executable next to the service"},
    Explanation{"service_assets_invalid", "wintun.dll or the geodata files are missing next to the service"},
    Explanation{"wintun_missing", "wintun.dll cannot be read"},
    Explanation{"wintun_digest_mismatch", "wintun.dll is not the expected build"},
    Explanation{"wintun_parent_missing", "the directory of wintun.dll cannot be determined"},
    Explanation{"engine_spawn_failed", "the engine could not be started"},
    Explanation{"engine_job_assignment_failed", "the engine could not be put into its job object"},
    Explanation{"engine_stdout_missing", "the engine's output is not available"},
    Explanation{"engine_ready_read_failed", "reading the engine's readiness line failed"},
    Explanation{"engine_ready_timeout", "the engine did not report readiness in time"},
    Explanation{"adapter_not_ready", "the TUN adapter did not appear in time"},
    Explanation{"dns_snapshot_failed:", "the TUN adapter's DNS servers could not be read"},
    Explanation{"engine_connect_failed", "the engine's control port did not accept a connection"},
    Explanation{"engine_timeout_failed", "a socket time limit could not be set"},
    Explanation{"engine_write_failed", "sending to the engine's control port failed"},
    Explanation{"engine_read_failed", "receiving from the engine's control port failed"},
    Explanation{"engine_start_failed", "the engine refused the configuration"},
    Explanation{"engine_deadline_exceeded", "the engine did not answer in time"},
    Explanation{"engine_response_too_large", "the engine's answer was too large"},
    Explanation{"engine_response_invalid", "the engine's answer was not valid HTTP"},
    Explanation{"engine_decode_failed", "the engine's datagram status could not be read"},
    Explanation{"engine_status_", "the engine answered the datagram status query with an HTTP error"},
    Explanation{"datagram_request_missing", "the datagram command needs its parameters"},
    Explanation{"datagram_op_invalid", "unknown datagram operation"},
    Explanation{"datagram_port_invalid", "datagram start needs a port"},
    Explanation{"datagram_key_invalid", "a datagram key is not 64 hexadecimal digits"},
    Explanation{"datagram_auth_invalid", "the datagram auth value is empty, too long or has a forbidden character"},
    Explanation{"datagram_relay_unavailable", "the server has no public IPv4 address for the relay"},
    Explanation{"datagram_start_failed:", "the engine's datagram start failed"},
    Explanation{"datagram_auth_failed:", "the engine's datagram auth failed"},
    Explanation{"datagram_stop_failed:", "the engine's datagram stop failed"},
    Explanation{"carrier_request_missing", "the carrier command needs its parameters"},
    Explanation{"carrier_config_missing", "a carrier offer needs a configuration"},
    Explanation{"carrier_floor_invalid", "the carrier uplink is not a socket address"},
    Explanation{"carrier_endpoint_invalid", "the carrier endpoint is not a socket address"},
    Explanation{"carrier_fields_invalid", "a carrier offer field breaks its limit"},
    Explanation{"carrier_generation_invalid", "carrier stop needs a generation other than 0"},
    Explanation{"carrier_engine_status_", "the engine answered a carrier call with an HTTP error"},
    Explanation{"carrier_status_failed", "the status query after the carrier stop failed"},
    Explanation{"carrier_receipt_invalid", "the engine's carrier status could not be read"},
    Explanation{"carrier_session_changed", "the session ended or changed during the carrier call"},
    Explanation{"command_spawn_failed", "a system command could not be started"},
    Explanation{"command_job_assignment_failed", "a system command could not be put into its job object"},
    Explanation{"command_wait_failed", "waiting for a system command failed"},
    Explanation{"command_failed", "a system command failed"},
    Explanation{"command_timeout", "a system command took too long"},
    Explanation{"default_route_missing", "no physical default route was found"},
    Explanation{"server_resolution_failed", "the server address did not resolve"},
    Explanation{"adapter_index_missing", "the TUN adapter's interface index was not found"},
    Explanation{"tun_ipv4_candidate_unavailable", "every private address for the TUN adapter overlaps a network"},
    Explanation{"tun_address_assign_failed:", "the TUN adapter's addresses could not be assigned"},
    Explanation{"tun_address_not_preferred:", "the TUN adapter's addresses did not become usable"},
    Explanation{"route_ownership_query_invalid", "the route ownership query gave unusable output"},
};

}  // namespace

std::optional<ResponseView> parse_response(std::string_view body) {
  simdjson::dom::parser parser;
  element root;
  if (parser.parse(body.data(), body.size()).get(root) != simdjson::SUCCESS) return std::nullopt;
  object obj;
  if (root.get_object().get(obj) != simdjson::SUCCESS) return std::nullopt;
  ResponseView r;
  std::string_view s;
  if (obj["success"].get_bool().get(r.success) != simdjson::SUCCESS) return std::nullopt;
  if (obj["state"].get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
  r.state = s;
  if (obj["error"].get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
  r.error = s;
  if (obj["degraded"].get_bool().get(r.degraded) != simdjson::SUCCESS) return std::nullopt;
  if (obj["session_token"].get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
  r.session_token = s;
  element lane;
  if (obj["carrier"].get(lane) == simdjson::SUCCESS) r.carrier = members(lane);
  if (obj["datagram"].get(lane) == simdjson::SUCCESS) r.datagram = members(lane);
  return r;
}

std::string explain_error(std::string_view code) {
  for (const Explanation& e : kExplanations) {
    const bool composite = e.prefix.back() == ':' || e.prefix.back() == '_';
    if (composite ? code.substr(0, e.prefix.size()) == e.prefix : code == e.prefix) return std::string(e.text);
  }
  return {};
}

std::string render_response(const ResponseView& r) {
  std::string out;
  if (r.success) {
    out = "ok: state " + r.state + "\n";
  } else if (!r.error.empty()) {
    const std::string why = explain_error(r.error);
    out = "error: " + r.error + (why.empty() ? "" : ": " + why) + "\n";
  } else {
    // renew_lease without a session: not carried out, but no error either.
    out = "not done: state " + r.state + (r.degraded ? " (degraded)" : "") + "\n";
  }
  const auto lane = [&](const char* name, const auto& record) {
    if (!record) return;
    out += std::string(name) + ":\n";
    for (const auto& [k, v] : *record) out += "  " + k + ": " + v + "\n";
  };
  lane("carrier", r.carrier);
  lane("datagram", r.datagram);
  return out;
}

}  // namespace brenmoor::ctl
