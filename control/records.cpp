#include "control/records.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include <simdjson.h>

#include "control/big_integers.h"
#include "control/json_writer.h"
#include "common/secret.h"
#include "common/utf8.h"

namespace brenmoor {
namespace {

namespace dom = simdjson::dom;
using dom::element;
using dom::element_type;

constexpr std::string_view kDecodeFailed = "request_decode_failed";

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);

// The parser's string buffer holds the unescaped tokens and keys of the request;
// it is scrubbed before release. Strings are laid out from the start of the buffer,
// so zeroing up to the end of the furthest string covers every one of them. A parse
// that fails part-way has already unescaped the strings before the fault, with no
// document to find their end by: then the whole buffer is zeroed.
class ScrubbedParser {
 public:
  ~ScrubbedParser() {
    if (used_ != 0 && parser_.doc.string_buf) secure_zero(parser_.doc.string_buf.get(), used_);
  }
  dom::parser& get() { return parser_; }
  // The size simdjson 3 gives the string buffer (rounded up further when allocated).
  void note_failed() { used_ = 5 * parser_.doc.capacity() / 3 + simdjson::SIMDJSON_PADDING; }
  void note_parsed(element root) {
    const std::uint8_t* base = parser_.doc.string_buf.get();
    if (base == nullptr) return;
    std::size_t end = 0;
    visit_strings(root, [&](std::string_view s) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
      end = std::max(end, static_cast<std::size_t>(p - base) + s.size() + 1);
    });
    used_ = end;
  }

 private:
  template <class F>
  static void visit_strings(element e, const F& f) {
    switch (e.type()) {
      case element_type::STRING: f(e.get_string().value_unsafe()); break;
      case element_type::ARRAY: {
        const dom::array array = e.get_array().value_unsafe();
        for (element child : array) visit_strings(child, f);
        break;
      }
      case element_type::OBJECT: {
        const dom::object object = e.get_object().value_unsafe();
        for (auto field : object) {
          f(field.key);
          visit_strings(field.value, f);
        }
        break;
      }
      default: break;
    }
  }
  dom::parser parser_;
  std::size_t used_ = 0;
};

// Rejects an object in which any key occurs twice (keys compared unescaped).
bool has_duplicate_keys(dom::object obj) {
  std::vector<std::string_view> keys;
  keys.reserve(obj.size());
  for (auto field : obj) keys.push_back(field.key);
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

bool read_string(element e, std::string& out) {
  std::string_view v;
  if (e.type() != element_type::STRING || e.get_string().get(v) != simdjson::SUCCESS) return false;
  out.assign(v);
  return true;
}

bool read_bool(element e, bool& out) {
  if (e.type() != element_type::BOOL) return false;
  out = e.get_bool().value_unsafe();
  return true;
}

// Integers only: a fraction, an exponent form or a double is a different JSON type here.
template <class T>
bool read_integer(element e, T& out) {
  if (e.type() == element_type::INT64) {
    const std::int64_t v = e.get_int64().value_unsafe();
    if constexpr (std::is_signed_v<T>) {
      if (v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) return false;
    } else {
      if (v < 0 || static_cast<std::uint64_t>(v) > std::numeric_limits<T>::max()) return false;
    }
    out = static_cast<T>(v);
    return true;
  }
  if (e.type() == element_type::UINT64) {
    const std::uint64_t v = e.get_uint64().value_unsafe();
    if (v > static_cast<std::uint64_t>(std::numeric_limits<T>::max())) return false;
    out = static_cast<T>(v);
    return true;
  }
  return false;
}

bool read_command(element e, Command& out) {
  std::string s;
  if (!read_string(e, s)) return false;
  static constexpr std::pair<std::string_view, Command> kCommands[] = {
      {"start", Command::start},       {"stop", Command::stop},         {"status", Command::status},
      {"renew_lease", Command::renew_lease}, {"datagram", Command::datagram}, {"carrier", Command::carrier}};
  for (const auto& [name, c] : kCommands) {
    if (s == name) {
      out = c;
      return true;
    }
  }
  return false;
}

bool read_carrier_config(element e, CarrierConfig& out) {
  dom::object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS || has_duplicate_keys(obj)) return false;
  unsigned seen = 0;
  for (auto [key, value] : obj) {
    bool ok = true;
    if (key == "endpoint") { ok = read_string(value, out.endpoint); seen |= 1; }
    else if (key == "port_count") { ok = read_integer(value, out.port_count); seen |= 2; }
    else if (key == "pin") { ok = read_string(value, out.pin); seen |= 4; }
    else if (key == "auth") { ok = read_string(value, out.auth); seen |= 8; }
    else if (key == "consumer_key") { ok = read_string(value, out.consumer_key); seen |= 16; }
    else if (key == "node_name") { ok = read_string(value, out.node_name); seen |= 32; }
    else if (key == "uplink") { ok = read_string(value, out.uplink); seen |= 64; }
    else if (key == "server_name") { ok = read_string(value, out.server_name); seen |= 128; }
    if (!ok) return false;
  }
  return seen == 255;
}

bool read_carrier_request(element e, CarrierRequest& out) {
  dom::object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS || has_duplicate_keys(obj)) return false;
  bool have_op = false;
  for (auto [key, value] : obj) {
    if (key == "op") {
      std::string op;
      if (!read_string(value, op)) return false;
      if (op == "offer") out.op = CarrierOp::offer;
      else if (op == "status") out.op = CarrierOp::status;
      else if (op == "stop") out.op = CarrierOp::stop;
      else return false;
      have_op = true;
    } else if (key == "generation") {
      if (!read_integer(value, out.generation)) return false;
    } else if (key == "config") {
      if (value.is_null()) continue;
      CarrierConfig config;
      if (!read_carrier_config(value, config)) return false;
      out.config = std::move(config);
    }
  }
  return have_op;
}

bool read_datagram_request(element e, DatagramRequest& out) {
  dom::object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS || has_duplicate_keys(obj)) return false;
  for (auto [key, value] : obj) {
    bool ok = true;
    if (key == "op") ok = read_string(value, out.op);
    else if (key == "port") ok = read_integer(value, out.port);
    else if (key == "auth") ok = read_string(value, out.auth);
    else if (key == "private_key") ok = read_string(value, out.private_key);
    else if (key == "node_public_key") ok = read_string(value, out.node_public_key);
    else if (key == "allow_443") ok = read_bool(value, out.allow_443);
    if (!ok) return false;
  }
  return true;
}

bool read_request(dom::object obj, ServiceRequest& r) {
  if (has_duplicate_keys(obj)) return false;
  bool have_version = false, have_command = false, have_id = false, have_issued = false;
  for (auto [key, value] : obj) {
    bool ok = true;
    if (key == "version") { ok = read_integer(value, r.version); have_version = true; }
    else if (key == "command") { ok = read_command(value, r.command); have_command = true; }
    else if (key == "request_id") { ok = read_string(value, r.request_id); have_id = true; }
    else if (key == "issued_at_unix_ms") { ok = read_integer(value, r.issued_at_unix_ms); have_issued = true; }
    else if (key == "config_json") ok = read_string(value, r.config_json);
    else if (key == "server_address") ok = read_string(value, r.server_address);
    else if (key == "engine_path") ok = read_string(value, r.engine_path);
    else if (key == "geodata_dir") ok = read_string(value, r.geodata_dir);
    else if (key == "wintun_path") ok = read_string(value, r.wintun_path);
    else if (key == "wintun_sha256") ok = read_string(value, r.wintun_sha256);
    else if (key == "lease_seconds") ok = read_integer(value, r.lease_seconds);
    else if (key == "session_token") ok = read_string(value, r.session_token);
    else if (key == "datagram") {
      if (!value.is_null()) {
        DatagramRequest d;
        ok = read_datagram_request(value, d);
        if (ok) r.datagram = std::move(d);
      }
    } else if (key == "carrier") {
      if (!value.is_null()) {
        CarrierRequest c;
        ok = read_carrier_request(value, c);
        if (ok) r.carrier = std::move(c);
      }
    }
    if (!ok) return false;
  }
  return have_version && have_command && have_id && have_issued;
}

// Parses one JSON document (strict UTF-8, nothing after the value) and hands its root object to `read`.
template <class Record, class Reader>
Result<Record> decode_padded(std::string_view padded, Reader read, std::string_view code,
                             simdjson::error_code* parse_error = nullptr) {
  ScrubbedParser parser;
  element root;
  if (const auto error = parser.get().parse(padded.data(), padded.size(), false).get(root);
      error != simdjson::SUCCESS) {
    parser.note_failed();
    if (parse_error != nullptr) *parse_error = error;
    return fail(code);
  }
  parser.note_parsed(root);
  dom::object obj;
  if (root.get_object().get(obj) != simdjson::SUCCESS) return fail(code);
  Record record;
  if (!read(obj, record)) return fail(code);
  return record;
}

// A zeroed-on-release padded copy, so the parser never makes an unscrubbed one.
template <class Record, class Reader>
Result<Record> decode_object(std::string_view bytes, Reader read, std::string_view code,
                             simdjson::error_code* parse_error = nullptr) {
  const std::size_t size = bytes.size() + kJsonPadding;
  std::unique_ptr<char[]> copy(new char[size]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  std::memset(copy.get() + bytes.size(), 0, kJsonPadding);
  auto r = decode_padded<Record>(std::string_view(copy.get(), bytes.size()), read, code, parse_error);
  secure_zero(copy.get(), size);
  return r;
}

// An engine receipt is judged like the configuration: an integer beyond 64 bits is
// valid JSON, a floating-point number to a general parser. Where the record reads
// it, that is a wrong type as before; in a member it does not read, or inside
// "stats", it is no reason to refuse the receipt.
template <class Record, class Reader>
Result<Record> decode_receipt(std::string_view json, Reader read, std::string_view code) {
  simdjson::error_code parse_error = simdjson::SUCCESS;
  auto r = decode_object<Record>(json, read, code, &parse_error);
  if (r || parse_error != simdjson::NUMBER_ERROR) return r;
  auto floated = floated_big_integers(json);
  if (!floated) return r;
  return decode_object<Record>(*floated, read, code);
}

bool read_carrier_status(dom::object obj, CarrierStatus& s) {
  if (has_duplicate_keys(obj)) return false;
  bool have_core = false;
  for (auto [key, value] : obj) {
    bool ok = true;
    if (key == "core_generation") { ok = read_integer(value, s.core_generation); have_core = true; }
    else if (key == "uplink") ok = read_string(value, s.uplink);
    else if (key == "server_name") ok = read_string(value, s.server_name);
    else if (key == "armed") ok = read_bool(value, s.armed);
    else if (key == "result") ok = read_string(value, s.result);
    else if (key == "installed_generation") ok = read_integer(value, s.installed_generation);
    else if (key == "grant_id") ok = read_string(value, s.grant_id);
    else if (key == "not_after_unix") ok = read_integer(value, s.not_after_unix);
    else if (key == "ready") ok = read_bool(value, s.ready);
    else if (key == "pending") ok = read_bool(value, s.pending);
    else if (key == "retry_after_ms") ok = read_integer(value, s.retry_after_ms);
    else if (key == "failures") ok = read_integer(value, s.failures);
    else if (key == "peer_ack") ok = read_integer(value, s.peer_ack);
    else if (key == "key_updates") ok = read_integer(value, s.key_updates);
    else if (key == "initial_packets") ok = read_integer(value, s.initial_packets);
    else if (key == "initial_offset") ok = read_integer(value, s.initial_offset);
    else if (key == "active_streams") ok = read_integer(value, s.active_streams);
    if (!ok) return false;
  }
  return have_core;
}

bool read_datagram_status(dom::object obj, DatagramStatus& s) {
  if (has_duplicate_keys(obj)) return false;
  for (auto [key, value] : obj) {
    bool ok = true;
    if (key == "active") ok = read_bool(value, s.active);
    else if (key == "auth_rejected") ok = read_integer(value, s.auth_rejected);
    else if (key == "caps") ok = read_integer(value, s.caps);
    else if (key == "not_after_unix") ok = read_integer(value, s.not_after_unix);
    else if (key == "stats") {
      if (!value.is_null()) s.stats_json = simdjson::minify(value);
    }
    if (!ok) return false;
  }
  return true;
}

bool all_text_valid(const ServiceResponse& r) {
  if (!is_valid_utf8(r.state) || !is_valid_utf8(r.error) || !is_valid_utf8(r.session_token)) return false;
  if (r.carrier) {
    const CarrierStatus& c = *r.carrier;
    if (!is_valid_utf8(c.uplink) || !is_valid_utf8(c.server_name) || !is_valid_utf8(c.result) ||
        !is_valid_utf8(c.grant_id))
      return false;
  }
  if (r.datagram && r.datagram->stats_json && !is_valid_utf8(*r.datagram->stats_json)) return false;
  return true;
}

}  // namespace

static_assert(simdjson::SIMDJSON_VERSION_MAJOR == 3, "note_failed() mirrors simdjson 3's string buffer size");

void write_carrier_status(JsonWriter& w, const CarrierStatus& s) {
  w.begin_object();
  w.key("core_generation").unsigned_integer(s.core_generation);
  w.key("uplink").string(s.uplink);
  w.key("server_name").string(s.server_name);
  w.key("armed").boolean(s.armed);
  w.key("result").string(s.result);
  w.key("installed_generation").unsigned_integer(s.installed_generation);
  w.key("grant_id").string(s.grant_id);
  w.key("not_after_unix").integer(s.not_after_unix);
  w.key("ready").boolean(s.ready);
  w.key("pending").boolean(s.pending);
  w.key("retry_after_ms").integer(s.retry_after_ms);
  w.key("failures").unsigned_integer(s.failures);
  w.key("peer_ack").unsigned_integer(s.peer_ack);
  w.key("key_updates").unsigned_integer(s.key_updates);
  w.key("initial_packets").unsigned_integer(s.initial_packets);
  w.key("initial_offset").integer(s.initial_offset);
  w.key("active_streams").integer(s.active_streams);
  w.end_object();
}

void write_datagram_status(JsonWriter& w, const DatagramStatus& s) {
  w.begin_object();
  w.key("active").boolean(s.active);
  w.key("auth_rejected").unsigned_integer(s.auth_rejected);
  w.key("caps").unsigned_integer(s.caps);
  w.key("not_after_unix").integer(s.not_after_unix);
  if (s.stats_json) w.key("stats").raw(*s.stats_json);
  w.end_object();
}

CarrierConfig::~CarrierConfig() { zero_and_clear(auth); }
ServiceRequest::~ServiceRequest() {
  zero_and_clear(session_token);
  zero_and_clear(config_json);
}
DatagramRequest::~DatagramRequest() {
  zero_and_clear(auth);
  zero_and_clear(private_key);
}

std::string_view command_name(Command c) {
  switch (c) {
    case Command::start: return "start";
    case Command::stop: return "stop";
    case Command::status: return "status";
    case Command::renew_lease: return "renew_lease";
    case Command::datagram: return "datagram";
    case Command::carrier: return "carrier";
  }
  return "";
}

Result<ServiceRequest> decode_request(std::string_view body) {
  return decode_object<ServiceRequest>(body, read_request, kDecodeFailed);
}

Result<ServiceRequest> decode_request_padded(std::string_view body) {
  return decode_padded<ServiceRequest>(body, read_request, kDecodeFailed);
}

Result<CarrierStatus> decode_carrier_status(std::string_view json) {
  return decode_receipt<CarrierStatus>(json, read_carrier_status, "carrier_receipt_invalid");
}

Result<DatagramStatus> decode_datagram_status(std::string_view json) {
  return decode_receipt<DatagramStatus>(json, read_datagram_status, "engine_decode_failed");
}

Result<std::string> encode_response(const ServiceResponse& r) {
  // Every string we hold should already be UTF-8; refusing here keeps a broken
  // value from going out as invalid JSON.
  if (!all_text_valid(r)) return fail("response_encode_failed");
  JsonWriter w;
  w.begin_object();
  w.key("success").boolean(r.success);
  w.key("state").string(r.state);
  w.key("error").string(r.error);
  w.key("degraded").boolean(r.degraded);
  w.key("session_token").string(r.session_token);
  if (r.datagram) {
    w.key("datagram");
    write_datagram_status(w, *r.datagram);
  }
  if (r.carrier) {
    w.key("carrier");
    write_carrier_status(w, *r.carrier);
  }
  w.end_object();
  return w.take();
}

ServiceResponse error_response(std::string_view code) {
  ServiceResponse r;
  r.success = false;
  r.state = "error";
  r.error = std::string(code);
  r.degraded = true;
  return r;
}

}  // namespace brenmoor
