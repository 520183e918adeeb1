#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/records.h"

namespace brenmoor {
namespace {

const std::string kBase = R"("version":1,"command":"status","request_id":"r1","issued_at_unix_ms":1700000000000)";

std::string request(const std::string& extra) { return "{" + kBase + extra + "}"; }

struct DecodeCase {
  const char* name;
  std::string body;
  bool ok;
};

class DecodeTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, DecodesOrRefuses) {
  const DecodeCase& c = GetParam();
  auto r = decode_request(c.body);
  EXPECT_EQ(r.has_value(), c.ok) << c.body;
  if (!c.ok && !r) {
    EXPECT_EQ(r.error(), "request_decode_failed");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, DecodeTable,
    testing::Values(
        DecodeCase{"minimal", request(""), true},
        DecodeCase{"surrounding_whitespace", " \n\t" + request("") + " \r\n", true},
        DecodeCase{"missing_request_id", R"({"version":1,"command":"status","issued_at_unix_ms":1})", false},
        DecodeCase{"missing_version", R"({"command":"status","request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"missing_command", R"({"version":1,"request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"missing_issued_at", R"({"version":1,"command":"status","request_id":"r"})", false},
        DecodeCase{"version_fraction", R"({"version":1.0,"command":"status","request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"version_negative", R"({"version":-1,"command":"status","request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"version_too_large", R"({"version":4294967296,"command":"status","request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"version_max_u32", R"({"version":4294967295,"command":"status","request_id":"r","issued_at_unix_ms":1})", true},
        DecodeCase{"version_two_decodes", R"({"version":2,"command":"status","request_id":"r","issued_at_unix_ms":1})", true},
        DecodeCase{"version_string", R"({"version":"1","command":"status","request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"version_exponent", R"({"version":1e0,"command":"status","request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"command_wrong_case", R"({"version":1,"command":"Start","request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"command_unknown", R"({"version":1,"command":"reboot","request_id":"r","issued_at_unix_ms":1})", false},
        DecodeCase{"issued_at_negative", R"({"version":1,"command":"stop","request_id":"r","issued_at_unix_ms":-5})", true},
        DecodeCase{"issued_at_above_i64", R"({"version":1,"command":"stop","request_id":"r","issued_at_unix_ms":9223372036854775808})", false},
        DecodeCase{"extra_key_ignored", request(R"(,"debug":{"x":[1,2,{"y":null}]})"), true},
        DecodeCase{"repeated_command", request(R"(,"command":"stop")"), false},
        DecodeCase{"repeated_unknown_key", request(R"(,"debug":1,"debug":2)"), false},
        DecodeCase{"repeated_key_escaped", request(R"(,"comm\u0061nd":"stop")"), false},
        DecodeCase{"session_token_null", request(R"(,"session_token":null)"), false},
        DecodeCase{"config_json_number", request(R"(,"config_json":5)"), false},
        DecodeCase{"lease_max", request(R"(,"lease_seconds":4294967295)"), true},
        DecodeCase{"lease_negative", request(R"(,"lease_seconds":-1)"), false},
        DecodeCase{"lease_null", request(R"(,"lease_seconds":null)"), false},
        DecodeCase{"trailing_bytes", request("") + "x", false},
        DecodeCase{"two_documents", request("") + request(""), false},
        DecodeCase{"invalid_utf8", request(",\"request_id2\":\"\xC3\x28\""), false},
        DecodeCase{"overlong_utf8", request(",\"x\":\"\xC0\xAF\""), false},
        DecodeCase{"array_root", "[1,2]", false},
        DecodeCase{"empty", "", false},
        DecodeCase{"datagram_null", request(R"(,"datagram":null)"), true},
        DecodeCase{"datagram_empty_object", request(R"(,"datagram":{})"), true},
        DecodeCase{"datagram_port_too_big", request(R"(,"datagram":{"port":65536})"), false},
        DecodeCase{"datagram_allow_443_number", request(R"(,"datagram":{"allow_443":1})"), false},
        DecodeCase{"datagram_repeated_member", request(R"(,"datagram":{"op":"a","op":"b"})"), false},
        DecodeCase{"datagram_array", request(R"(,"datagram":[])"), false},
        DecodeCase{"carrier_null", request(R"(,"carrier":null)"), true},
        DecodeCase{"carrier_missing_op", request(R"(,"carrier":{"generation":1})"), false},
        DecodeCase{"carrier_bad_op", request(R"(,"carrier":{"op":"Offer"})"), false},
        DecodeCase{"carrier_generation_null", request(R"(,"carrier":{"op":"stop","generation":null})"), false},
        DecodeCase{"carrier_generation_u64_max", request(R"(,"carrier":{"op":"stop","generation":18446744073709551615})"), true},
        DecodeCase{"carrier_config_null", request(R"(,"carrier":{"op":"offer","config":null})"), true},
        DecodeCase{"carrier_config_incomplete", request(R"(,"carrier":{"op":"offer","config":{"endpoint":"a"}})"), false},
        DecodeCase{"carrier_config_complete",
                   request(R"(,"carrier":{"op":"offer","generation":3,"config":{"endpoint":"1.2.3.4:443","port_count":2,"pin":"p","auth":"s","consumer_key":"c","node_name":"n","uplink":"5.6.7.8:80","server_name":"x"}})"),
                   true},
        DecodeCase{"carrier_port_count_too_big",
                   request(R"(,"carrier":{"op":"offer","config":{"endpoint":"","port_count":65536,"pin":"","auth":"","consumer_key":"","node_name":"","uplink":"","server_name":""}})"),
                   false}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(DecodeRequest, FillsDefaultsAndMembers) {
  auto r = decode_request(request(R"(,"config_json":"{\"a\":1}","server_address":"vpn.example.net","lease_seconds":120,"session_token":"t","datagram":{"op":"start","port":9,"allow_443":true},"carrier":{"op":"stop","generation":7})"));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->version, 1u);
  EXPECT_EQ(r->command, Command::status);
  EXPECT_EQ(r->request_id, "r1");
  EXPECT_EQ(r->issued_at_unix_ms, 1700000000000);
  EXPECT_EQ(r->config_json, R"({"a":1})");
  EXPECT_EQ(r->server_address, "vpn.example.net");
  EXPECT_EQ(r->lease_seconds, 120u);
  EXPECT_EQ(r->session_token, "t");
  ASSERT_TRUE(r->datagram.has_value());
  EXPECT_EQ(r->datagram->op, "start");
  EXPECT_EQ(r->datagram->port, 9);
  EXPECT_TRUE(r->datagram->allow_443);
  ASSERT_TRUE(r->carrier.has_value());
  EXPECT_EQ(r->carrier->op, CarrierOp::stop);
  EXPECT_EQ(r->carrier->generation, 7u);
  EXPECT_FALSE(r->carrier->config.has_value());

  auto d = decode_request(request(""));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->lease_seconds, 0u);
  EXPECT_EQ(d->config_json, "");
  EXPECT_FALSE(d->datagram.has_value());
  EXPECT_FALSE(d->carrier.has_value());
}

TEST(EncodeResponse, ErrorResponseHasExactlyFiveMembersInOrder) {
  auto text = encode_response(error_response("service_busy"));
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text, R"({"success":false,"state":"error","error":"service_busy","degraded":true,"session_token":""})");
}

TEST(EncodeResponse, LaneMembersInDeclaredOrderAndEscaping) {
  ServiceResponse r;
  r.success = true;
  r.state = "active";
  r.session_token = "q\"\\\n\x01\xC3\xA9";
  DatagramStatus d;
  d.active = true;
  d.auth_rejected = 2;
  d.caps = 3;
  d.not_after_unix = -4;
  d.stats_json = R"({"rx":1})";
  r.datagram = d;
  CarrierStatus c;
  c.core_generation = 9;
  c.result = "ok";
  c.initial_offset = -1;
  r.carrier = c;
  auto text = encode_response(r);
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(*text,
            "{\"success\":true,\"state\":\"active\",\"error\":\"\",\"degraded\":false,"
            "\"session_token\":\"q\\\"\\\\\\n\\u0001\xC3\xA9\","
            "\"datagram\":{\"active\":true,\"auth_rejected\":2,\"caps\":3,\"not_after_unix\":-4,\"stats\":{\"rx\":1}},"
            "\"carrier\":{\"core_generation\":9,\"uplink\":\"\",\"server_name\":\"\",\"armed\":false,\"result\":\"ok\","
            "\"installed_generation\":0,\"grant_id\":\"\",\"not_after_unix\":0,\"ready\":false,\"pending\":false,"
            "\"retry_after_ms\":0,\"failures\":0,\"peer_ack\":0,\"key_updates\":0,\"initial_packets\":0,"
            "\"initial_offset\":-1,\"active_streams\":0}}");
}

TEST(EncodeResponse, RefusesTextThatIsNotUtf8) {
  ServiceResponse r = error_response("x");
  r.error = "\xFF";
  auto text = encode_response(r);
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error(), "response_encode_failed");
}

TEST(EngineStatusRecords, DecodeWithDefaultsAndPassThroughStats) {
  auto c = decode_carrier_status(R"({"core_generation":5,"armed":true,"extra":[1]})");
  ASSERT_TRUE(c.has_value());
  EXPECT_EQ(c->core_generation, 5u);
  EXPECT_TRUE(c->armed);
  EXPECT_EQ(c->failures, 0u);
  EXPECT_FALSE(decode_carrier_status(R"({"armed":true})").has_value());
  EXPECT_FALSE(decode_carrier_status(R"({"core_generation":1,"core_generation":2})").has_value());

  auto d = decode_datagram_status(R"({"active":true,"stats": { "rx" : [1, 2] }})");
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->stats_json.value_or(""), R"({"rx":[1,2]})");
  auto n = decode_datagram_status(R"({"stats":null})");
  ASSERT_TRUE(n.has_value());
  EXPECT_FALSE(n->stats_json.has_value());
  EXPECT_EQ(decode_datagram_status(R"({"caps":70000})").error(), "engine_decode_failed");
}

// Integers beyond 64 bits are valid JSON: refused only where a record reads them.
TEST(EngineStatusRecords, IntegersBeyondSixtyFourBits) {
  struct Row {
    const char* name;
    std::string carrier;
    bool carrier_ok;
  };
  const std::vector<Row> carrier_rows = {
      {"largest u64 read", R"({"core_generation":18446744073709551615})", true},
      {"one more where it is read", R"({"core_generation":18446744073709551616})", false},
      {"negative beyond i64 where it is read", R"({"core_generation":1,"initial_offset":-9223372036854775809})", false},
      {"in a member not read", R"({"core_generation":1,"extra":123456789012345678901234567890})", true},
      {"nested in a member not read", R"({"extra":{"a":[-99999999999999999999]},"core_generation":1})", true},
      {"in a string stays text", R"({"core_generation":1,"result":"123456789012345678901234567890"})", true},
      {"still refused when otherwise broken", R"({"core_generation":1,"extra":123456789012345678901234567890,})", false},
  };
  for (const auto& row : carrier_rows) {
    SCOPED_TRACE(row.name);
    auto c = decode_carrier_status(row.carrier);
    EXPECT_EQ(c.has_value(), row.carrier_ok);
  }
  auto result = decode_carrier_status(R"({"core_generation":1,"result":"123456789012345678901234567890"})");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->result, "123456789012345678901234567890");

  // Inside "stats" the number travels on as the number a general parser reads.
  auto d = decode_datagram_status(R"({"active":true,"stats":{"bytes":123456789012345678901234567890,"n":1}})");
  ASSERT_TRUE(d.has_value());
  EXPECT_TRUE(d->active);
  ASSERT_TRUE(d->stats_json.has_value());
  EXPECT_TRUE(decode_datagram_status(R"({"stats":)" + *d->stats_json + "}").has_value()) << *d->stats_json;
  EXPECT_NE(d->stats_json->find("\"n\":1"), std::string::npos) << *d->stats_json;
  EXPECT_EQ(decode_datagram_status(R"({"auth_rejected":18446744073709551616})").error(), "engine_decode_failed");
}

}  // namespace
}  // namespace brenmoor
