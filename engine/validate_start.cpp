#include "engine/validate_start.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "common/secret.h"
#include "common/utf8.h"
#include "control/big_integers.h"
#include "engine/assets.h"
#include "platform/dir.h"
#include "platform/ip.h"
#include "platform/sha256.h"

namespace brenmoor {
namespace {

namespace dom = simdjson::dom;

// --- Lookups that read an object as a map in which a repeated key's last value
// counts (simdjson's DOM keeps every occurrence, so each lookup walks them all). A
// key that is absent and a value of the wrong type fail alike (nullopt / false).

std::optional<dom::element> member(dom::element value, std::string_view key) {
  dom::object object;
  if (value.get_object().get(object) != simdjson::SUCCESS) return std::nullopt;
  std::optional<dom::element> found;
  for (dom::key_value_pair field : object) {
    if (field.key == key) found = field.value;
  }
  return found;
}

std::optional<std::string_view> string_member(dom::element value, std::string_view key) {
  auto m = member(value, key);
  if (!m) return std::nullopt;
  std::string_view s;
  if (m->get_string().get(s) != simdjson::SUCCESS) return std::nullopt;
  return s;
}

bool string_member_is(dom::element value, std::string_view key, std::string_view expected) {
  auto s = string_member(value, key);
  return s && *s == expected;
}

std::optional<dom::array> array_member(dom::element value, std::string_view key) {
  auto m = member(value, key);
  if (!m) return std::nullopt;
  dom::array array;
  if (m->get_array().get(array) != simdjson::SUCCESS) return std::nullopt;
  return array;
}

std::optional<dom::element> first_element(dom::array array) {
  for (dom::element e : array) return e;
  return std::nullopt;
}

// --- Sections.

struct Sections {
  // Every occurrence: the engine's decoder merges a repeated object into the one
  // before it, so an earlier "log" still counts.
  std::vector<dom::element> logs;
  std::optional<dom::element> inbounds;
  std::optional<dom::element> outbounds;
  std::optional<dom::element> carrier_lane;
  std::optional<dom::element> routing;
};

Status collect_sections(dom::object root, Sections& out) {
  for (dom::key_value_pair field : root) {
    const std::string_view key = field.key;
    if (key == "inbounds") {
      out.inbounds = field.value;
    } else if (key == "outbounds") {
      out.outbounds = field.value;
    } else if (key == "carrierLane") {
      out.carrier_lane = field.value;
    } else if (key == "routing") {
      out.routing = field.value;
    } else if (key == "log") {
      out.logs.push_back(field.value);
    } else if (key != "dns" && key != "stats" && key != "policy") {
      return fail("config_section_invalid");
    }
  }
  return {};
}

// Whether a member name means `word` (lower-case ASCII) to the engine's JSON
// decoder, which matches member names to its fields without regard to case and
// with Unicode's simple folding, under which U+017F (long s) is an "s" (the one
// non-ASCII letter that folds into either word): "Access" and "acce\u017F\u017F"
// are both its access log.
bool folds_to(std::string_view name, std::string_view word) {
  std::size_t i = 0;
  for (char want : word) {
    if (i >= name.size()) return false;
    const char c = name[i];
    if (want == 's' && name.substr(i, 2) == "\xC5\xBF") {
      i += 2;
    } else if (c == want || (c >= 'A' && c <= 'Z' && c - 'A' + 'a' == want)) {
      ++i;
    } else {
      return false;
    }
  }
  return i == name.size();
}

// The engine runs as SYSTEM and writes its access and error logs wherever the
// configuration says: a path there would let whoever sends the request create or
// append to any file on the machine. Only "no file" ("" or "none") is let through;
// the other log settings (level, DNS logging) name no file. Every member the
// engine would read as one of the two is checked, not only the last.
Status check_log(dom::element log) {
  dom::object object;
  if (log.get_object().get(object) != simdjson::SUCCESS) return fail("config_log_invalid");
  for (dom::key_value_pair field : object) {
    if (!folds_to(field.key, "access") && !folds_to(field.key, "error")) continue;
    std::string_view text;
    if (field.value.get_string().get(text) != simdjson::SUCCESS || (!text.empty() && text != "none")) {
      return fail("config_log_invalid");
    }
  }
  return {};
}

bool inbounds_ok(const std::optional<dom::element>& inbounds) {
  if (!inbounds) return false;
  dom::array list;
  if (inbounds->get_array().get(list) != simdjson::SUCCESS || list.size() != 1) return false;
  const dom::element tun = *first_element(list);
  if (!string_member_is(tun, "protocol", "tun")) return false;
  auto settings = member(tun, "settings");
  return settings && string_member_is(*settings, "name", kTunAdapterName);
}

struct Outbounds {
  dom::element proxy;
  dom::element vnext_first;
  std::string_view proxy_protocol;
};

std::optional<Outbounds> outbounds_ok(const std::optional<dom::element>& outbounds, std::string_view server_address) {
  if (!outbounds) return std::nullopt;
  dom::array list;
  if (outbounds->get_array().get(list) != simdjson::SUCCESS || list.size() != 3) return std::nullopt;
  dom::element items[3];
  std::size_t n = 0;
  for (dom::element e : list) items[n++] = e;
  if (!string_member_is(items[0], "tag", "proxy") || !string_member_is(items[1], "tag", "direct") ||
      !string_member_is(items[2], "tag", "block")) {
    return std::nullopt;
  }
  auto proxy_protocol = string_member(items[0], "protocol");
  if (!proxy_protocol || (*proxy_protocol != "vmess" && *proxy_protocol != "vless")) return std::nullopt;
  // A protocol that is missing or not a string counts as "absent"; two absent
  // protocols are equal, so direct and block cannot both leave it out.
  const auto direct_protocol = string_member(items[1], "protocol");
  const auto block_protocol = string_member(items[2], "protocol");
  if (direct_protocol == proxy_protocol || block_protocol == proxy_protocol || direct_protocol == block_protocol) {
    return std::nullopt;
  }
  auto settings = member(items[0], "settings");
  if (!settings) return std::nullopt;
  auto vnext = array_member(*settings, "vnext");
  if (!vnext) return std::nullopt;
  auto first = first_element(*vnext);
  if (!first) return std::nullopt;
  // Byte for byte: the bypass routes are built from server_address, so the engine
  // must dial exactly that host.
  if (!string_member_is(*first, "address", server_address)) return std::nullopt;
  return Outbounds{items[0], *first, *proxy_protocol};
}

bool carrier_shape_ok(const Outbounds& out) {
  if (out.proxy_protocol != "vmess") return false;
  auto port = member(out.vnext_first, "port");
  std::uint64_t port_value = 0;
  // get_uint64 refuses doubles (443.0) and strings ("443"): only the integer passes.
  if (!port || port->get_uint64().get(port_value) != simdjson::SUCCESS || port_value != 443) return false;
  auto users = array_member(out.vnext_first, "users");
  if (!users || !first_element(*users)) return false;
  for (dom::element user : *users) {
    if (!string_member_is(user, "security", "none")) return false;
  }
  auto stream = member(out.proxy, "streamSettings");
  if (!stream || !stream->is_object()) return false;
  if (!string_member_is(*stream, "network", "ws") || !string_member_is(*stream, "security", "tls")) return false;
  auto tls = member(*stream, "tlsSettings");
  if (!tls) return false;
  auto server_name = string_member(*tls, "serverName");
  if (!server_name || server_name->empty()) return false;
  auto ws = member(*stream, "wsSettings");
  if (!ws) return false;
  auto headers = member(*ws, "headers");
  return headers && string_member_is(*headers, "Host", *server_name);
}

Status check_carrier(const std::optional<dom::element>& carrier_lane, const Outbounds& outbounds) {
  if (!carrier_lane) return {};
  bool on = false;
  if (carrier_lane->get_bool().get(on) != simdjson::SUCCESS) return fail("config_carrier_invalid");
  if (!on) return {};
  if (!carrier_shape_ok(outbounds)) return fail("config_carrier_invalid");
  return {};
}

// The catch-all rule must send everything else through the proxy and carry no
// condition of its own: exactly these three keys (repeats of them allowed, the last
// value counting).
bool final_rule_ok(dom::element rule) {
  dom::object object;
  if (rule.get_object().get(object) != simdjson::SUCCESS) return false;
  std::optional<dom::element> type, tag, network;
  for (dom::key_value_pair field : object) {
    if (field.key == "type") {
      type = field.value;
    } else if (field.key == "outboundTag") {
      tag = field.value;
    } else if (field.key == "network") {
      network = field.value;
    } else {
      return false;
    }
  }
  auto is = [](const std::optional<dom::element>& e, std::string_view expected) {
    std::string_view s;
    return e && e->get_string().get(s) == simdjson::SUCCESS && s == expected;
  };
  return is(type, "field") && is(tag, "proxy") && is(network, "tcp,udp");
}

Status check_routing(const std::optional<dom::element>& routing) {
  if (!routing || !routing->is_object()) return fail("config_routing_invalid");
  auto rules = array_member(*routing, "rules");
  if (!rules) return fail("config_routing_invalid");
  // Every rule but the last only blocks; walk once, judging each rule when its
  // successor shows it was not the last.
  std::optional<dom::element> previous;
  for (dom::element rule : *rules) {
    if (previous && !string_member_is(*previous, "outboundTag", "block")) return fail("config_routing_invalid");
    previous = rule;
  }
  if (!previous || !final_rule_ok(*previous)) return fail("config_routing_invalid");
  // Load balancing could move traffic off the single proxy the routes are built for.
  if (member(*routing, "balancers")) return fail("config_shape_invalid");
  return {};
}

// The configuration carries the proxy's user ids, and every copy of the request is
// zeroed before its memory is released; so are the parser's copies: the padded input
// and the unescaped strings. A fresh parser per call keeps nothing between requests.
class ScrubbedParse {
 public:
  explicit ScrubbedParse(std::string_view text)
      : size_(text.size()), padded_(new char[text.size() + simdjson::SIMDJSON_PADDING]) {
    std::memcpy(padded_.get(), text.data(), text.size());
    std::memset(padded_.get() + size_, 0, simdjson::SIMDJSON_PADDING);
  }
  ScrubbedParse(const ScrubbedParse&) = delete;
  ScrubbedParse& operator=(const ScrubbedParse&) = delete;
  ~ScrubbedParse() {
    secure_zero(padded_.get(), size_);
    if (parser_.doc.string_buf) secure_zero(parser_.doc.string_buf.get(), string_bytes_used_);
  }

  simdjson::error_code parse(dom::element& doc) {
    const auto error = parser_.parse(padded_.get(), size_, false).get(doc);
    string_bytes_used_ = error == simdjson::SUCCESS ? used_through_last_string(doc) : whole_string_buffer();
    return error;
  }

 private:
  // Strings are laid out in document order from the buffer's start, each with a
  // 4-byte length before and a NUL after, so the document's last string ends the
  // used part. It lies in the last member of an object (its value, else its key),
  // or in the last element of an array that holds any string.
  std::size_t used_through_last_string(dom::element root) const {
    // Depth-first from the back, on an explicit stack (documents nest up to 1024
    // deep). A key waits beneath its value: it counts only if the value has no string.
    struct Pending {
      dom::element element;
      std::optional<std::string_view> key;
    };
    std::vector<Pending> pending{{root, std::nullopt}};
    while (!pending.empty()) {
      const Pending p = pending.back();
      pending.pop_back();
      if (p.key) return end_of(*p.key);
      switch (p.element.type()) {
        case dom::element_type::STRING:
          return end_of(p.element.get_string().value_unsafe());
        case dom::element_type::OBJECT: {
          const dom::object object = p.element.get_object().value_unsafe();
          std::optional<dom::key_value_pair> last;
          for (dom::key_value_pair field : object) last = field;
          if (last) {
            pending.push_back({p.element, last->key});
            pending.push_back({last->value, std::nullopt});
          }
          break;
        }
        case dom::element_type::ARRAY:
        {
          // Only the last element that surely holds a string (a string, a non-empty
          // object: its keys) and the non-empty arrays after it can hold the last one.
          const dom::array array = p.element.get_array().value_unsafe();
          std::optional<dom::element> sure;
          std::vector<dom::element> maybe;
          for (dom::element child : array) {
            dom::object object;
            dom::array inner;
            if (child.is_string() || (child.get_object().get(object) == simdjson::SUCCESS && object.size() != 0)) {
              sure = child;
              maybe.clear();
            } else if (child.get_array().get(inner) == simdjson::SUCCESS && inner.size() != 0) {
              maybe.push_back(child);
            }
          }
          if (sure) pending.push_back({*sure, std::nullopt});
          for (dom::element child : maybe) pending.push_back({child, std::nullopt});
        }
          break;
        default:
          break;
      }
    }
    return 0;
  }

  std::size_t end_of(std::string_view s) const {
    const auto* base = reinterpret_cast<const char*>(parser_.doc.string_buf.get());
    return static_cast<std::size_t>(s.data() - base) + s.size() + 1;
  }

  // A failed parse may have written some strings before it stopped; clear all the
  // buffer can hold (the size simdjson 3.0 gives it for this capacity).
  std::size_t whole_string_buffer() const { return 5 * parser_.doc.capacity() / 3 + simdjson::SIMDJSON_PADDING; }

  std::size_t size_;
  std::unique_ptr<char[]> padded_;
  dom::parser parser_;
  std::size_t string_bytes_used_ = 0;
};

static_assert(simdjson::SIMDJSON_VERSION_MAJOR == 3, "whole_string_buffer() mirrors simdjson 3's string buffer size");

Status check_config_document(dom::element doc, std::string_view server_address) {
  dom::object root;
  if (doc.get_object().get(root) != simdjson::SUCCESS) return fail("config_shape_invalid");
  Sections sections;
  if (auto s = collect_sections(root, sections); !s) return s;
  for (dom::element log : sections.logs) {
    if (auto s = check_log(log); !s) return s;
  }
  if (!inbounds_ok(sections.inbounds)) return fail("config_inbounds_invalid");
  auto outbounds = outbounds_ok(sections.outbounds, server_address);
  if (!outbounds) return fail("config_outbounds_invalid");
  if (auto s = check_carrier(sections.carrier_lane, *outbounds); !s) return s;
  return check_routing(sections.routing);
}

bool is_host_label_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

bool is_host_name(std::string_view name) {
  if (name.find('.') == std::string_view::npos) return false;
  std::size_t start = 0;
  for (;;) {
    const std::size_t dot = name.find('.', start);
    const std::string_view label = name.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (label.empty() || label.size() > kMaxHostLabelBytes) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    for (char c : label) {
      if (!is_host_label_char(c)) return false;
    }
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace


bool is_valid_server_address(std::string_view address) {
  if (address.empty() || address.size() > kMaxServerAddressBytes) return false;
  if (platform::is_ip_literal(address)) return true;
  return is_host_name(address);
}

Status check_start_config(std::string_view config_json, std::string_view server_address) {
  // Before any parsing: no document above the limit is ever parsed.
  if (config_json.size() > kMaxConfigBytes) return fail("config_too_large");
  if (!is_valid_server_address(server_address)) return fail("server_address_invalid");

  ScrubbedParse parse(config_json);
  dom::element doc;
  const auto error = parse.parse(doc);
  if (error == simdjson::NUMBER_ERROR) {
    if (auto floated = floated_big_integers(config_json)) {
      ScrubbedParse retry(*floated);
      zero_and_clear(*floated);
      if (retry.parse(doc) != simdjson::SUCCESS) return fail("config_invalid");
      return check_config_document(doc, server_address);
    }
  }
  if (error != simdjson::SUCCESS) return fail("config_invalid");
  return check_config_document(doc, server_address);
}

std::string sha256_hex(std::string_view bytes) {
  auto digest = platform::sha256(bytes);
  if (!digest) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(digest->size() * 2);
  for (std::uint8_t b : *digest) {
    out.push_back(kHex[b >> 4]);
    out.push_back(kHex[b & 0x0F]);
  }
  return out;
}

Status verify_wintun_digest(std::string_view wintun_path, std::string_view expected_sha256) {
  auto bytes = platform::read_whole_file(wintun_path);
  if (!bytes) return fail("wintun_missing");
  const std::string actual = sha256_hex(*bytes);
  if (actual.size() != 64 || actual.size() != expected_sha256.size()) return fail("wintun_digest_mismatch");
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (actual[i] != ascii_lower(expected_sha256[i])) return fail("wintun_digest_mismatch");
  }
  return {};
}

Status validate_start_request_at(const ServiceRequest& request, std::string_view executable_path,
                                 std::string_view expected_sha256) {
  if (auto s = check_start_config(request.config_json, request.server_address); !s) return s;
  auto assets = discover_service_assets_at(executable_path);
  if (!assets) return std::unexpected(assets.error());
  return verify_wintun_digest(assets->wintun_path, expected_sha256);
}

Status validate_start_request(const ServiceRequest& request) {
  if (auto s = check_start_config(request.config_json, request.server_address); !s) return s;
  auto assets = discover_service_assets();
  if (!assets) return std::unexpected(assets.error());
  return verify_wintun_digest(assets->wintun_path, expected_wintun_sha256());
}

}  // namespace brenmoor
