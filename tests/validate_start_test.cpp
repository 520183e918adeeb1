#include <gtest/gtest.h>

#include <string>

#include "engine/validate_start.h"

namespace brenmoor {
namespace {

// --- A valid configuration, and pieces to break one part of it at a time.

const std::string kServer = "vpn.example.net";
const std::string kInbounds = R"([{"tag":"tun-in","protocol":"tun","settings":{"name":"Brenmoor Device Path","mtu":1500}}])";
const std::string kDirect = R"({"tag":"direct","protocol":"freedom"})";
const std::string kBlock = R"({"tag":"block","protocol":"blackhole"})";
const std::string kFinalRule = R"({"type":"field","outboundTag":"proxy","network":"tcp,udp"})";
const std::string kRouting = R"({"domainStrategy":"AsIs","rules":[)" + kFinalRule + "]}";

std::string proxy(const std::string& protocol = "vless", const std::string& address = kServer) {
  return R"({"tag":"proxy","protocol":")" + protocol + R"(","settings":{"vnext":[{"address":")" + address +
         R"(","port":443,"users":[{"id":"a3482e88-686a-4a58-8126-99c9df64b7bf","encryption":"none"}]}]}})";
}

std::string outbounds(const std::string& a, const std::string& b, const std::string& c) {
  return "[" + a + "," + b + "," + c + "]";
}

struct Config {
  std::string head;  // root members before the sections, each ending with ","
  std::string inbounds = kInbounds;
  std::string outbounds = brenmoor::outbounds(proxy(), kDirect, kBlock);
  std::string routing = kRouting;
  std::string tail;  // root members after the sections, each starting with ","

  std::string text() const {
    return "{" + head + R"("inbounds":)" + inbounds + R"(,"outbounds":)" + outbounds + R"(,"routing":)" + routing +
           tail + "}";
  }
};

std::string base() { return Config{}.text(); }
std::string with_head(std::string head) { Config c; c.head = std::move(head); return c.text(); }
std::string with_inbounds(std::string v) { Config c; c.inbounds = std::move(v); return c.text(); }
std::string with_outbounds(std::string v) { Config c; c.outbounds = std::move(v); return c.text(); }
std::string with_routing(std::string v) { Config c; c.routing = std::move(v); return c.text(); }
std::string with_tail(std::string v) { Config c; c.tail = std::move(v); return c.text(); }
std::string with_address(const std::string& address) {
  Config c;
  c.outbounds = outbounds(proxy("vless", address), kDirect, kBlock);
  return c.text();
}

// The carrier-lane shape: vmess to port 443, users without their own encryption,
// websocket over TLS with a Host header equal to the TLS server name.
struct Carrier {
  std::string protocol = "vmess";
  std::string port = "443";
  std::string users = R"([{"id":"a3482e88-686a-4a58-8126-99c9df64b7bf","security":"none"},{"id":"b","security":"none"}])";
  std::string network = R"("ws")";
  std::string security = R"("tls")";
  std::string server_name = R"("cdn.example.net")";
  std::string host = R"("cdn.example.net")";
  std::string stream_override;  // replaces the whole streamSettings value when set
  std::string flag = "true";

  std::string text() const {
    const std::string stream = !stream_override.empty()
                                   ? stream_override
                                   : R"({"network":)" + network + R"(,"security":)" + security +
                                         R"(,"tlsSettings":{"serverName":)" + server_name +
                                         R"(},"wsSettings":{"path":"/c","headers":{"Host":)" + host + "}}}";
    const std::string p = R"({"tag":"proxy","protocol":")" + protocol + R"(","settings":{"vnext":[{"address":")" +
                          kServer + R"(","port":)" + port + R"(,"users":)" + users +
                          R"(}]},"streamSettings":)" + stream + "}";
    Config c;
    c.outbounds = outbounds(p, kDirect, kBlock);
    c.tail = R"(,"carrierLane":)" + flag;
    return c.text();
  }
};

Carrier carrier() { return Carrier{}; }
template <class F>
std::string carrier_with(F change) {
  Carrier c;
  change(c);
  return c.text();
}

std::string rules(const std::string& list) { return R"({"rules":[)" + list + "]}"; }

struct ConfigCase {
  const char* name;
  std::string config;
  std::string address;
  std::string expected;  // empty: passes every configuration check
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class ConfigChecks : public testing::TestWithParam<ConfigCase> {};

TEST_P(ConfigChecks, FirstFailingCheckDecides) {
  const ConfigCase& c = GetParam();
  auto r = check_start_config(c.config, c.address);
  if (c.expected.empty()) {
    EXPECT_TRUE(r.has_value()) << r.error();
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.expected);
  }
}

std::string padded_to(std::string text, std::size_t size) {
  text.insert(text.size() - 1, size - text.size(), ' ');
  return text;
}

std::string repeat(const std::string& part, int n, const std::string& sep = ",") {
  std::string out;
  for (int i = 0; i < n; ++i) out += (i ? sep : "") + part;
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Size, ConfigChecks,
    testing::Values(
        ConfigCase{"valid_config_of_exactly_the_limit", padded_to(base(), kMaxConfigBytes), kServer, ""},
        ConfigCase{"garbage_of_exactly_the_limit_is_parsed", std::string(kMaxConfigBytes, 'x'), kServer, "config_invalid"},
        ConfigCase{"one_byte_over_valid_json", padded_to(base(), kMaxConfigBytes + 1), kServer, "config_too_large"},
        ConfigCase{"one_byte_over_not_json", std::string(kMaxConfigBytes + 1, 'x'), kServer, "config_too_large"},
        ConfigCase{"size_before_address", std::string(kMaxConfigBytes + 1, 'x'), "", "config_too_large"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ServerAddress, ConfigChecks,
    testing::Values(
        ConfigCase{"empty", base(), "", "server_address_invalid"},
        ConfigCase{"bare_name", with_address("localhost"), "localhost", "server_address_invalid"},
        ConfigCase{"ipv4", with_address("192.0.2.10"), "192.0.2.10", ""},
        ConfigCase{"ipv6_loopback", with_address("::1"), "::1", ""},
        ConfigCase{"ipv6_full", with_address("2001:db8::8a2e:370:7334"), "2001:db8::8a2e:370:7334", ""},
        ConfigCase{"ipv6_bracketed", with_address("[2001:db8::1]"), "[2001:db8::1]", "server_address_invalid"},
        ConfigCase{"ipv6_zone", with_address("fe80::1%eth0"), "fe80::1%eth0", "server_address_invalid"},
        ConfigCase{"ipv4_with_port", with_address("192.0.2.1:443"), "192.0.2.1:443", "server_address_invalid"},
        ConfigCase{"trailing_dot", with_address("vpn.example.net."), "vpn.example.net.", "server_address_invalid"},
        ConfigCase{"leading_dot", with_address(".example.net"), ".example.net", "server_address_invalid"},
        ConfigCase{"double_dot", with_address("vpn..example.net"), "vpn..example.net", "server_address_invalid"},
        ConfigCase{"label_starts_with_hyphen", with_address("-vpn.example.net"), "-vpn.example.net", "server_address_invalid"},
        ConfigCase{"label_ends_with_hyphen", with_address("vpn.example-.net"), "vpn.example-.net", "server_address_invalid"},
        ConfigCase{"label_of_63", with_address(std::string(63, 'a') + ".net"), std::string(63, 'a') + ".net", ""},
        ConfigCase{"label_of_64", with_address(std::string(64, 'a') + ".net"), std::string(64, 'a') + ".net", "server_address_invalid"},
        ConfigCase{"punycode", with_address("xn--bcher-kva.example"), "xn--bcher-kva.example", ""},
        ConfigCase{"inner_hyphens_and_digits", with_address("a-1.b--2.c3"), "a-1.b--2.c3", ""},
        ConfigCase{"underscore", with_address("vpn_1.example.net"), "vpn_1.example.net", "server_address_invalid"},
        ConfigCase{"space", with_address("vpn.example.net "), "vpn.example.net ", "server_address_invalid"},
        ConfigCase{"non_ascii", with_address("vpn.ex\xC3\xA4mple.net"), "vpn.ex\xC3\xA4mple.net", "server_address_invalid"},
        ConfigCase{"embedded_nul", base(), std::string("vpn.example.net\0x", 17), "server_address_invalid"},
        ConfigCase{"length_255", with_address(repeat(std::string(63, 'a'), 4, ".")), repeat(std::string(63, 'a'), 4, "."), ""},
        ConfigCase{"length_256", with_address(repeat(std::string(63, 'a'), 3, ".") + "." + std::string(62, 'a') + ".a"),
                   repeat(std::string(63, 'a'), 3, ".") + "." + std::string(62, 'a') + ".a", "server_address_invalid"},
        // The address is checked before the configuration is read at all.
        ConfigCase{"address_before_parse", "{", "localhost", "server_address_invalid"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ParseAndSections, ConfigChecks,
    testing::Values(
        ConfigCase{"valid", base(), kServer, ""},
        ConfigCase{"not_json", "{\"inbounds\":", kServer, "config_invalid"},
        ConfigCase{"empty_text", "", kServer, "config_invalid"},
        ConfigCase{"two_documents", base() + " {}", kServer, "config_invalid"},
        ConfigCase{"trailing_comma", "{\"log\":{},}", kServer, "config_invalid"},
        ConfigCase{"lone_surrogate_escape", with_head(R"("log":{"x":"\ud800"},)"), kServer, "config_invalid"},
        ConfigCase{"surrounding_whitespace", "\n\t " + base() + " \r\n", kServer, ""},
        ConfigCase{"root_array", "[" + base() + "]", kServer, "config_shape_invalid"},
        ConfigCase{"root_string", R"("config")", kServer, "config_shape_invalid"},
        ConfigCase{"root_null", "null", kServer, "config_shape_invalid"},
        // Integers beyond 64 bits are valid JSON (a float to a general parser).
        ConfigCase{"integer_beyond_64_bits", with_head(R"("stats":{"a":18446744073709551616,"b":-9223372036854775809,"s":"1234567890123456789012"},)"), kServer, ""},
        ConfigCase{"integer_beyond_64_bits_then_syntax_error", with_head(R"("stats":{"a":18446744073709551616,},)"), kServer, "config_invalid"},
        ConfigCase{"number_out_of_double_range", with_head(R"("stats":{"a":1e400},)"), kServer, "config_invalid"},
        ConfigCase{"all_eight_sections", with_head(R"("log":{"loglevel":"warning"},"dns":{"servers":["1.1.1.1"]},"stats":{},"policy":{},)") + "", kServer, ""},
        ConfigCase{"carrier_lane_is_a_section", with_tail(R"(,"carrierLane":false)"), kServer, ""},
        ConfigCase{"empty_object_passes_sections", "{}", kServer, "config_inbounds_invalid"},
        ConfigCase{"extra_section", with_head(R"("api":{"tag":"api"},)"), kServer, "config_section_invalid"},
        ConfigCase{"section_wrong_case", with_head(R"("Log":{},)"), kServer, "config_section_invalid"},
        // An unknown section fails before any section is examined.
        ConfigCase{"extra_section_before_inbounds", R"({"inbounds":5,"api":{}})", kServer, "config_section_invalid"},
        ConfigCase{"extra_section_escaped_name_is_known", with_head(R"("l\u006fg":{},)"), kServer, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// The log section names no file the engine (running as SYSTEM) would write.
INSTANTIATE_TEST_SUITE_P(
    Log, ConfigChecks,
    testing::Values(
        ConfigCase{"other_members_pass", with_head(R"("log":{"loglevel":"debug","dnsLog":true,"maskAddress":"half"},)"), kServer, ""},
        ConfigCase{"empty_object", with_head(R"("log":{},)"), kServer, ""},
        ConfigCase{"access_and_error_empty", with_head(R"("log":{"access":"","error":""},)"), kServer, ""},
        ConfigCase{"access_and_error_none", with_head(R"("log":{"access":"none","error":"none","loglevel":"none"},)"), kServer, ""},
        ConfigCase{"access_path", with_head(R"("log":{"access":"C:\\Windows\\System32\\evil.dll"},)"), kServer, "config_log_invalid"},
        ConfigCase{"error_path", with_head(R"("log":{"error":"/etc/cron.d/x"},)"), kServer, "config_log_invalid"},
        ConfigCase{"relative_name", with_head(R"("log":{"error":"engine.log"},)"), kServer, "config_log_invalid"},
        ConfigCase{"none_in_other_case", with_head(R"("log":{"access":"None"},)"), kServer, "config_log_invalid"},
        ConfigCase{"none_with_space", with_head(R"("log":{"access":" none"},)"), kServer, "config_log_invalid"},
        ConfigCase{"access_not_string", with_head(R"("log":{"access":null},)"), kServer, "config_log_invalid"},
        ConfigCase{"error_number", with_head(R"("log":{"error":0},)"), kServer, "config_log_invalid"},
        ConfigCase{"log_not_object", with_head(R"("log":"C:\\x.log",)"), kServer, "config_log_invalid"},
        ConfigCase{"log_null", with_head(R"("log":null,)"), kServer, "config_log_invalid"},
        ConfigCase{"log_array", with_head(R"("log":[{"access":""}],)"), kServer, "config_log_invalid"},
        // The engine's decoder reads member names without regard to case (with
        // Unicode folding) and merges a repeated object into the earlier one.
        ConfigCase{"access_other_case", with_head(R"("log":{"Access":"C:\\x.log"},)"), kServer, "config_log_invalid"},
        ConfigCase{"error_upper_case", with_head(R"("log":{"ERROR":"C:\\x.log"},)"), kServer, "config_log_invalid"},
        ConfigCase{"access_long_s", with_head("\"log\":{\"acce\xC5\xBF\xC5\xBF\":\"C:\\\\x.log\"},"), kServer, "config_log_invalid"},
        ConfigCase{"access_escaped_name", with_head(R"("log":{"acc\u0065ss":"C:\\x.log"},)"), kServer, "config_log_invalid"},
        ConfigCase{"repeated_member_last_empty", with_head(R"("log":{"access":"C:\\x.log","access":""},)"), kServer, "config_log_invalid"},
        ConfigCase{"repeated_section_last_empty", with_head(R"("log":{"access":"C:\\x.log"},"log":{},)"), kServer, "config_log_invalid"},
        ConfigCase{"similar_names_pass", with_head(R"("log":{"accessLog":"x","errors":"x","acces":"x"},)"), kServer, ""},
        // After the section keys, before the sections' own checks.
        ConfigCase{"unknown_section_first", with_head(R"("log":{"access":"x"},"api":{},)"), kServer, "config_section_invalid"},
        ConfigCase{"log_before_inbounds", R"({"inbounds":5,"log":{"error":"x"}})", kServer, "config_log_invalid"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Inbounds, ConfigChecks,
    testing::Values(
        ConfigCase{"missing", R"({"outbounds":[],"routing":{}})", kServer, "config_inbounds_invalid"},
        ConfigCase{"object_not_array", with_inbounds(R"({"protocol":"tun","settings":{"name":"Brenmoor Device Path"}})"), kServer, "config_inbounds_invalid"},
        ConfigCase{"empty", with_inbounds("[]"), kServer, "config_inbounds_invalid"},
        ConfigCase{"two", with_inbounds(R"([{"protocol":"tun","settings":{"name":"Brenmoor Device Path"}},{"protocol":"socks"}])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"name_without_path", with_inbounds(R"([{"protocol":"tun","settings":{"name":"Brenmoor Device"}}])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"name_other_case", with_inbounds(R"([{"protocol":"tun","settings":{"name":"brenmoor device path"}}])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"protocol_other_case", with_inbounds(R"([{"protocol":"TUN","settings":{"name":"Brenmoor Device Path"}}])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"no_settings", with_inbounds(R"([{"protocol":"tun","name":"Brenmoor Device Path"}])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"settings_not_object", with_inbounds(R"([{"protocol":"tun","settings":"Brenmoor Device Path"}])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"element_not_object", with_inbounds(R"(["tun"])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"repeated_name_last_counts", with_inbounds(R"([{"protocol":"tun","settings":{"name":"x","name":"Brenmoor Device Path"}}])"), kServer, ""},
        ConfigCase{"repeated_name_last_wrong", with_inbounds(R"([{"protocol":"tun","settings":{"name":"Brenmoor Device Path","name":"x"}}])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"repeated_section_last_counts", with_head(R"("inbounds":[],)"), kServer, ""},
        ConfigCase{"repeated_section_last_wrong", with_tail(R"(,"inbounds":[])"), kServer, "config_inbounds_invalid"},
        ConfigCase{"before_outbounds", R"({"inbounds":[],"outbounds":5})", kServer, "config_inbounds_invalid"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Outbounds, ConfigChecks,
    testing::Values(
        ConfigCase{"vmess_proxy", with_outbounds(outbounds(proxy("vmess"), kDirect, kBlock)), kServer, ""},
        ConfigCase{"missing", with_tail(R"(,"outbounds":null)"), kServer, "config_outbounds_invalid"},
        ConfigCase{"two", with_outbounds("[" + proxy() + "," + kDirect + "]"), kServer, "config_outbounds_invalid"},
        ConfigCase{"four", with_outbounds("[" + proxy() + "," + kDirect + "," + kBlock + R"(,{"tag":"extra","protocol":"dns"}])"), kServer, "config_outbounds_invalid"},
        ConfigCase{"wrong_order", with_outbounds(outbounds(proxy(), kBlock, kDirect)), kServer, "config_outbounds_invalid"},
        ConfigCase{"tag_other_case", with_outbounds(outbounds(proxy(), R"({"tag":"Direct","protocol":"freedom"})", kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"proxy_protocol_other", with_outbounds(outbounds(proxy("trojan"), kDirect, kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"proxy_protocol_missing", with_outbounds(outbounds(R"({"tag":"proxy","settings":{"vnext":[{"address":"vpn.example.net"}]}})", kDirect, kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"direct_and_block_both_lack_protocol", with_outbounds(outbounds(proxy(), R"({"tag":"direct"})", R"({"tag":"block"})")), kServer, "config_outbounds_invalid"},
        ConfigCase{"non_string_protocols_count_as_absent", with_outbounds(outbounds(proxy(), R"({"tag":"direct","protocol":1})", R"({"tag":"block","protocol":null})")), kServer, "config_outbounds_invalid"},
        ConfigCase{"only_block_lacks_protocol", with_outbounds(outbounds(proxy(), kDirect, R"({"tag":"block"})")), kServer, ""},
        ConfigCase{"only_direct_lacks_protocol", with_outbounds(outbounds(proxy(), R"({"tag":"direct","protocol":5})", kBlock)), kServer, ""},
        ConfigCase{"direct_same_as_block", with_outbounds(outbounds(proxy(), kDirect, R"({"tag":"block","protocol":"freedom"})")), kServer, "config_outbounds_invalid"},
        ConfigCase{"direct_same_as_proxy", with_outbounds(outbounds(proxy(), R"({"tag":"direct","protocol":"vless"})", kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"block_same_as_proxy", with_outbounds(outbounds(proxy("vmess"), kDirect, R"({"tag":"block","protocol":"vmess"})")), kServer, "config_outbounds_invalid"},
        ConfigCase{"address_other_case", with_address("VPN.example.net"), kServer, "config_outbounds_invalid"},
        ConfigCase{"ipv6_address_other_case", with_address("2001:DB8::1"), "2001:db8::1", "config_outbounds_invalid"},
        ConfigCase{"address_only_in_second_vnext", with_outbounds(outbounds(R"({"tag":"proxy","protocol":"vless","settings":{"vnext":[{"address":"other.example.net"},{"address":"vpn.example.net"}]}})", kDirect, kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"second_vnext_may_differ", with_outbounds(outbounds(R"({"tag":"proxy","protocol":"vless","settings":{"vnext":[{"address":"vpn.example.net"},{"address":"other.example.net"}]}})", kDirect, kBlock)), kServer, ""},
        ConfigCase{"vnext_empty", with_outbounds(outbounds(R"({"tag":"proxy","protocol":"vless","settings":{"vnext":[]}})", kDirect, kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"vnext_not_array", with_outbounds(outbounds(R"({"tag":"proxy","protocol":"vless","settings":{"vnext":{"address":"vpn.example.net"}}})", kDirect, kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"no_settings", with_outbounds(outbounds(R"({"tag":"proxy","protocol":"vless"})", kDirect, kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"address_not_string", with_outbounds(outbounds(R"({"tag":"proxy","protocol":"vless","settings":{"vnext":[{"address":null}]}})", kDirect, kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"repeated_tag_last_counts", with_outbounds(outbounds(proxy(), R"({"tag":"block","protocol":"freedom","tag":"direct"})", kBlock)), kServer, ""},
        ConfigCase{"repeated_address_last_wrong", with_outbounds(outbounds(R"({"tag":"proxy","protocol":"vless","settings":{"vnext":[{"address":"vpn.example.net","address":"x.example.net"}]}})", kDirect, kBlock)), kServer, "config_outbounds_invalid"},
        ConfigCase{"before_carrier_and_routing", R"({"inbounds":)" + kInbounds + R"(,"outbounds":[],"carrierLane":"yes","routing":1})", kServer, "config_outbounds_invalid"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    CarrierLane, ConfigChecks,
    testing::Values(
        ConfigCase{"false_skips_the_shape", with_tail(R"(,"carrierLane":false)"), kServer, ""},
        ConfigCase{"string", with_tail(R"(,"carrierLane":"true")"), kServer, "config_carrier_invalid"},
        ConfigCase{"null", with_tail(R"(,"carrierLane":null)"), kServer, "config_carrier_invalid"},
        ConfigCase{"number", with_tail(R"(,"carrierLane":1)"), kServer, "config_carrier_invalid"},
        ConfigCase{"true_with_full_shape", carrier().text(), kServer, ""},
        ConfigCase{"true_with_vless", carrier_with([](Carrier& c) { c.protocol = "vless"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"port_as_float", carrier_with([](Carrier& c) { c.port = "443.0"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"port_as_string", carrier_with([](Carrier& c) { c.port = R"("443")"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"port_other", carrier_with([](Carrier& c) { c.port = "8443"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"port_exponent", carrier_with([](Carrier& c) { c.port = "4.43e2"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"users_empty", carrier_with([](Carrier& c) { c.users = "[]"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"users_missing_security", carrier_with([](Carrier& c) { c.users = R"([{"id":"a","security":"none"},{"id":"b"}])"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"users_other_security", carrier_with([](Carrier& c) { c.users = R"([{"id":"a","security":"auto"}])"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"user_not_object", carrier_with([](Carrier& c) { c.users = R"(["none"])"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"network_tcp", carrier_with([](Carrier& c) { c.network = R"("tcp")"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"security_none", carrier_with([](Carrier& c) { c.security = R"("none")"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"server_name_empty", carrier_with([](Carrier& c) { c.server_name = R"("")"; c.host = R"("")"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"server_name_not_string", carrier_with([](Carrier& c) { c.server_name = "1"; c.host = "1"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"host_differs", carrier_with([](Carrier& c) { c.host = R"("CDN.example.net")"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"stream_missing", carrier_with([](Carrier& c) { c.stream_override = "null"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"stream_without_ws_settings", carrier_with([](Carrier& c) { c.stream_override = R"({"network":"ws","security":"tls","tlsSettings":{"serverName":"a.b"}})"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"repeated_flag_last_false", with_tail(R"(,"carrierLane":true,"carrierLane":false)"), kServer, ""},
        ConfigCase{"repeated_flag_last_true", carrier_with([](Carrier& c) { c.protocol = "vless"; c.flag = "false,\"carrierLane\":true"; }), kServer, "config_carrier_invalid"},
        ConfigCase{"before_routing", R"({"inbounds":)" + kInbounds + R"(,"outbounds":)" + outbounds(proxy(), kDirect, kBlock) + R"(,"carrierLane":0,"routing":1})", kServer, "config_carrier_invalid"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Routing, ConfigChecks,
    testing::Values(
        ConfigCase{"single_final_rule", with_routing(rules(kFinalRule)), kServer, ""},
        ConfigCase{"block_rules_before_final", with_routing(rules(R"({"type":"field","domain":["geosite:ads"],"outboundTag":"block"},{"ip":["10.0.0.0/8"],"outboundTag":"block"},)" + kFinalRule)), kServer, ""},
        ConfigCase{"missing", R"({"inbounds":)" + kInbounds + R"(,"outbounds":)" + outbounds(proxy(), kDirect, kBlock) + "}", kServer, "config_routing_invalid"},
        ConfigCase{"not_object", with_routing("[]"), kServer, "config_routing_invalid"},
        ConfigCase{"no_rules", with_routing(R"({"domainStrategy":"AsIs"})"), kServer, "config_routing_invalid"},
        ConfigCase{"rules_empty", with_routing(rules("")), kServer, "config_routing_invalid"},
        ConfigCase{"rules_not_array", with_routing(R"({"rules":)" + kFinalRule + "}"), kServer, "config_routing_invalid"},
        ConfigCase{"final_with_domain", with_routing(rules(R"({"type":"field","outboundTag":"proxy","network":"tcp,udp","domain":["x"]})")), kServer, "config_routing_invalid"},
        ConfigCase{"final_with_balancer_tag", with_routing(rules(R"({"type":"field","outboundTag":"proxy","network":"tcp,udp","balancerTag":"b"})")), kServer, "config_routing_invalid"},
        ConfigCase{"final_without_network", with_routing(rules(R"({"type":"field","outboundTag":"proxy"})")), kServer, "config_routing_invalid"},
        ConfigCase{"final_network_tcp", with_routing(rules(R"({"type":"field","outboundTag":"proxy","network":"tcp"})")), kServer, "config_routing_invalid"},
        ConfigCase{"final_to_direct", with_routing(rules(R"({"type":"field","outboundTag":"direct","network":"tcp,udp"})")), kServer, "config_routing_invalid"},
        ConfigCase{"final_type_other", with_routing(rules(R"({"type":"chinaip","outboundTag":"proxy","network":"tcp,udp"})")), kServer, "config_routing_invalid"},
        ConfigCase{"final_not_object", with_routing(rules(R"("proxy")")), kServer, "config_routing_invalid"},
        ConfigCase{"final_repeated_keys_last_counts", with_routing(rules(R"({"type":"x","outboundTag":"proxy","network":"tcp,udp","type":"field"})")), kServer, ""},
        ConfigCase{"final_repeated_keys_last_wrong", with_routing(rules(R"({"type":"field","outboundTag":"proxy","network":"tcp,udp","network":"tcp"})")), kServer, "config_routing_invalid"},
        ConfigCase{"direct_rule_before_final", with_routing(rules(R"({"type":"field","domain":["x"],"outboundTag":"direct"},)" + kFinalRule)), kServer, "config_routing_invalid"},
        ConfigCase{"rule_without_tag_before_final", with_routing(rules(R"({"type":"field","domain":["x"]},)" + kFinalRule)), kServer, "config_routing_invalid"},
        ConfigCase{"non_object_before_final", with_routing(rules(R"("block",)" + kFinalRule)), kServer, "config_routing_invalid"},
        ConfigCase{"rule_tag_repeated_last_counts", with_routing(rules(R"({"outboundTag":"direct","outboundTag":"block"},)" + kFinalRule)), kServer, ""},
        ConfigCase{"rule_tag_repeated_last_wrong", with_routing(rules(R"({"outboundTag":"block","outboundTag":"direct"},)" + kFinalRule)), kServer, "config_routing_invalid"},
        ConfigCase{"final_rule_twice", with_routing(rules(kFinalRule + "," + kFinalRule)), kServer, "config_routing_invalid"},
        ConfigCase{"balancers_empty", with_routing(R"({"rules":[)" + kFinalRule + R"(],"balancers":[]})"), kServer, "config_shape_invalid"},
        ConfigCase{"balancers_null", with_routing(R"({"balancers":null,"rules":[)" + kFinalRule + "]}"), kServer, "config_shape_invalid"},
        ConfigCase{"routing_rules_before_balancers", with_routing(R"({"rules":[],"balancers":[]})"), kServer, "config_routing_invalid"},
        ConfigCase{"many_block_rules", with_routing(rules(repeat(R"({"ip":["192.0.2.0/24"],"outboundTag":"block"})", 5000) + "," + kFinalRule)), kServer, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServerAddress, RulesOnTheirOwn) {
  EXPECT_TRUE(is_valid_server_address("a.b"));
  EXPECT_TRUE(is_valid_server_address("10.0.0.1"));
  EXPECT_TRUE(is_valid_server_address("::ffff:192.0.2.1"));
  EXPECT_FALSE(is_valid_server_address("a"));
  EXPECT_FALSE(is_valid_server_address("."));
  EXPECT_FALSE(is_valid_server_address("a.-"));
}

}  // namespace
}  // namespace brenmoor
