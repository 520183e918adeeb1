#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "control/dispatcher.h"
#include "engine/engine_session.h"
#include "lanes/addresses.h"
#include "lanes/lane_handlers.h"
#include "platform/job.h"
#include "platform/tcp.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

// A connection the code under test made is queued before its connect returned; a
// listener asked this briefly finds it, and one that finds none was sent nothing.
// (A zero limit would not even look.)
constexpr Duration kAlreadyQueued = 1ms;
using platform::TcpListener;
using platform::TcpStream;

// ---------------------------------------------------------------------------
// Address rules

TEST(LaneAddresses, SocketAddressForms) {
  struct Row {
    const char* text;
    bool ok;
    std::uint16_t port;
  } rows[] = {
      {"1.2.3.4:443", true, 443},  {"[2001:db8::1]:80", true, 80}, {"[::ffff:1.2.3.4]:1", true, 1},
      {"1.2.3.4:0", true, 0},      {"1.2.3.4:65535", true, 65535}, {"1.2.3.4:65536", false, 0},
      {"1.2.3.4", false, 0},       {"1.2.3.4:", false, 0},         {"2001:db8::1:80", false, 0},
      {"[1.2.3.4]:80", false, 0},  {"vpn.example.net:443", false, 0}, {"1.2.3.4:+80", false, 0},
      {"[fe80::1%eth0]:80", false, 0}, {" 1.2.3.4:80", false, 0},
  };
  for (const auto& r : rows) {
    auto a = parse_socket_address(r.text);
    EXPECT_EQ(a.has_value(), r.ok) << r.text;
    if (a) {
      EXPECT_EQ(a->port, r.port) << r.text;
    }
  }
}

TEST(LaneAddresses, PublicRules) {
  struct Row {
    const char* address;
    bool carrier_public;  // is_public_address
    bool relay_public;    // first_public_ipv4 (IPv4 only)
  } rows[] = {
      {"8.8.8.8", true, true},         {"0.1.2.3", false, false},      {"10.1.2.3", false, false},
      {"127.0.0.1", false, false},     {"169.254.1.1", false, false},  {"172.16.0.1", false, false},
      {"172.31.255.255", false, false}, {"172.32.0.1", true, true},    {"192.168.1.1", false, false},
      {"224.0.0.1", false, false},     {"255.255.255.255", false, false}, {"240.0.0.1", true, false},
      {"100.64.1.1", true, false},     {"192.0.2.5", true, false},     {"198.51.100.7", true, false},
      {"203.0.113.7", true, false},    {"198.18.0.1", true, false},    {"192.0.0.9", true, false},
  };
  for (const auto& r : rows) {
    auto a = platform::parse_ip_literal(r.address);
    ASSERT_TRUE(a) << r.address;
    EXPECT_EQ(is_public_address(*a), r.carrier_public) << r.address;
    EXPECT_EQ(first_public_ipv4({r.address}).has_value(), r.relay_public) << r.address;
  }
  for (const char* v6 : {"::", "::1", "fe80::1", "febf::1", "ff02::1", "fc00::1", "fd00:ae91::1", "::ffff:10.1.2.3"}) {
    EXPECT_FALSE(is_public_address(*platform::parse_ip_literal(v6))) << v6;
  }
  for (const char* v6 : {"2001:db8::1", "fec0::1", "::ffff:8.8.8.8", "::2"}) {
    EXPECT_TRUE(is_public_address(*platform::parse_ip_literal(v6))) << v6;
  }
  EXPECT_EQ(first_public_ipv4({"2001:db8::1", "vpn.example.net", "10.0.0.5", "1.2.3.4", "5.6.7.8"}).value_or(""),
            "1.2.3.4");
  EXPECT_FALSE(first_public_ipv4({"10.0.0.5", "203.0.113.7"}).has_value());
}

// ---------------------------------------------------------------------------
// Field checks

CarrierConfig offer_config() {
  CarrierConfig c;
  c.endpoint = "100.64.1.1:500";
  c.port_count = 4;
  c.pin = "pin";
  c.auth = std::string(512, 'a');
  c.consumer_key = std::string(64, 'k');
  c.node_name = "node";
  c.uplink = "198.51.100.7:443";
  c.server_name = std::string(253, 's');
  return c;
}

TEST(CarrierOffer, Checks) {
  const std::vector<std::string> servers = {"198.51.100.7", "2001:db8::7"};
  struct Row {
    const char* name;
    std::function<void(CarrierConfig&)> change;
    std::uint64_t generation;
    const char* code;  // empty: passes
  } rows[] = {
      {"valid", [](CarrierConfig&) {}, 1, ""},
      {"ipv6_uplink", [](CarrierConfig& c) { c.uplink = "[2001:db8::7]:443"; }, 1, ""},
      {"uplink_host_name", [](CarrierConfig& c) { c.uplink = "vpn.example.net:443"; }, 1, "carrier_floor_invalid"},
      {"endpoint_host_name", [](CarrierConfig& c) { c.endpoint = "relay.example.net:500"; }, 1,
       "carrier_endpoint_invalid"},
      {"generation_zero", [](CarrierConfig&) {}, 0, "carrier_fields_invalid"},
      {"uplink_port", [](CarrierConfig& c) { c.uplink = "198.51.100.7:444"; }, 1, "carrier_fields_invalid"},
      {"uplink_not_a_server", [](CarrierConfig& c) { c.uplink = "198.51.100.8:443"; }, 1, "carrier_fields_invalid"},
      {"endpoint_port_zero", [](CarrierConfig& c) { c.endpoint = "100.64.1.1:0"; }, 1, "carrier_fields_invalid"},
      {"endpoint_private", [](CarrierConfig& c) { c.endpoint = "10.1.2.3:500"; }, 1, "carrier_fields_invalid"},
      {"endpoint_link_local6", [](CarrierConfig& c) { c.endpoint = "[fe80::1]:500"; }, 1, "carrier_fields_invalid"},
      {"endpoint_mapped_private", [](CarrierConfig& c) { c.endpoint = "[::ffff:10.1.2.3]:500"; }, 1,
       "carrier_fields_invalid"},
      {"auth_513", [](CarrierConfig& c) { c.auth += "a"; }, 1, "carrier_fields_invalid"},
      {"pin_97", [](CarrierConfig& c) { c.pin = std::string(97, 'p'); }, 1, "carrier_fields_invalid"},
      {"key_63", [](CarrierConfig& c) { c.consumer_key.pop_back(); }, 1, "carrier_fields_invalid"},
      {"key_65", [](CarrierConfig& c) { c.consumer_key += "k"; }, 1, "carrier_fields_invalid"},
      {"node_129", [](CarrierConfig& c) { c.node_name = std::string(129, 'n'); }, 1, "carrier_fields_invalid"},
      {"server_name_254", [](CarrierConfig& c) { c.server_name += "s"; }, 1, "carrier_fields_invalid"},
  };
  for (const auto& r : rows) {
    CarrierConfig c = offer_config();
    r.change(c);
    auto ok = check_carrier_offer(c, r.generation, servers);
    if (std::string(r.code).empty()) {
      EXPECT_TRUE(ok) << r.name << ": " << (ok ? "" : ok.error());
    } else {
      ASSERT_FALSE(ok) << r.name;
      EXPECT_EQ(ok.error(), r.code) << r.name;
    }
  }
  auto missing = check_carrier_offer(std::nullopt, 1, servers);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error(), "carrier_config_missing");
}

TEST(DatagramFields, Checks) {
  const std::string key(64, 'a');
  struct Row {
    const char* name;
    DatagramRequest d;
    const char* code;
  };
  auto make = [&](std::string op, std::uint16_t port, std::string auth, std::string priv, std::string pub) {
    DatagramRequest d;
    d.op = std::move(op);
    d.port = port;
    d.auth = std::move(auth);
    d.private_key = std::move(priv);
    d.node_public_key = std::move(pub);
    return d;
  };
  const Row rows[] = {
      {"start_valid", make("start", 9, "Abc+-/=_9", key, "0123456789abcdefABCDEF0123456789abcdefABCDEF0123456789abcdefABCD"), ""},
      {"start_port_zero", make("start", 0, "a", key, key), "datagram_port_invalid"},
      {"start_private_63", make("start", 9, "a", std::string(63, 'a'), key), "datagram_key_invalid"},
      {"start_private_g", make("start", 9, "a", std::string(63, 'a') + "g", key), "datagram_key_invalid"},
      {"start_auth_empty", make("start", 9, "", key, key), "datagram_auth_invalid"},
      {"start_public_65", make("start", 9, "a", key, key + "a"), "datagram_key_invalid"},
      {"auth_no_port_no_private", make("auth", 0, "a", "", key), ""},
      {"auth_512", make("auth", 0, std::string(512, 'z'), "", key), ""},
      {"auth_513", make("auth", 0, std::string(513, 'z'), "", key), "datagram_auth_invalid"},
      {"auth_blank", make("auth", 0, "a b", "", key), "datagram_auth_invalid"},
      {"auth_dot", make("auth", 0, "a.b", "", key), "datagram_auth_invalid"},
      {"stop", make("stop", 0, "", "", ""), ""},
      {"status", make("status", 0, "", "", ""), ""},
      {"empty_op", make("", 0, "", "", ""), "datagram_op_invalid"},
      {"wrong_case", make("Start", 9, "a", key, key), "datagram_op_invalid"},
  };
  for (const auto& r : rows) {
    auto ok = check_datagram_request(r.d);
    if (std::string(r.code).empty()) {
      EXPECT_TRUE(ok) << r.name << ": " << (ok ? "" : ok.error());
    } else {
      ASSERT_FALSE(ok) << r.name;
      EXPECT_EQ(ok.error(), r.code) << r.name;
    }
  }
}

// ---------------------------------------------------------------------------
// Handlers against a scripted engine on loopback

struct Reply {
  int status;  // -1: close without answering
  std::string body;
  std::function<void()> before;  // runs after the request was read, before the reply
};

// Accepts connections one after another and answers each with the next scripted reply.
class ScriptedEngine {
 public:
  explicit ScriptedEngine(std::vector<Reply> replies) : replies_(replies.begin(), replies.end()) {
    auto l = TcpListener::bind_loopback(0);
    EXPECT_TRUE(l.has_value());
    listener_ = std::move(*l);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedEngine() { finish(); }
  std::uint16_t port() const { return listener_.port(); }
  void finish() {
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
  }
  // After finish(): whether a connection beyond the script is waiting.
  bool unscripted_connection() { return listener_.accept(kAlreadyQueued).has_value(); }

 private:
  void serve() {
    while (!replies_.empty()) {
      auto conn = listener_.accept(20s);
      if (!conn) return;
      std::string got;
      (void)conn->set_receive_timeout(20s);
      char buf[4096];
      for (;;) {
        const std::size_t end = got.find("\r\n\r\n");
        if (end != std::string::npos) {
          const std::size_t at = got.find("Content-Length: ");
          const std::size_t length = at < end ? std::stoul(got.substr(at + 16)) : 0;
          if (got.size() >= end + 4 + length) break;
        }
        auto n = conn->receive(buf, sizeof buf);
        if (!n || *n == 0) break;
        got.append(buf, *n);
      }
      {
        std::lock_guard<std::mutex> l(mu_);
        requests_.push_back(got);
      }
      Reply r = std::move(replies_.front());
      replies_.pop_front();
      if (r.before) r.before();
      if (r.status >= 0) {
        (void)conn->send_all("HTTP/1.0 " + std::to_string(r.status) + " X\r\nContent-Type: application/json\r\n\r\n" +
                             r.body);
      }
    }
  }
  std::deque<Reply> replies_;
  TcpListener listener_;
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> requests_;
};

std::string body_of(const std::string& request) { return request.substr(request.find("\r\n\r\n") + 4); }
std::string head_line(const std::string& request) { return request.substr(0, request.find("\r\n")); }

class Lanes : public testing::Test {
 protected:
  void add_session(std::uint16_t port, std::vector<std::string> v4 = {"198.51.100.7", "1.2.3.4"},
                   std::vector<std::string> v6 = {"2001:db8::7"}) {
    auto s = std::make_unique<EngineSession>();
    // A real engine process in its job: the lanes ask it before every call.
    platform::SpawnOptions o;
    o.program = test::bin_path("th_net_hang");
    auto p = platform::spawn_process(o);
    ASSERT_TRUE(p);
    s->engine_process = std::move(*p);
    auto job = platform::assign_kill_on_close_job(s->engine_process);
    ASSERT_TRUE(job);
    s->job = std::move(*job);
    s->session_token = "tok";
    s->control_token = "ctl";
    s->control_port = port;
    s->network_state.ipv4_servers = std::move(v4);
    s->network_state.ipv6_servers = std::move(v6);
    PoisonLock lock(state.mutex());
    state.slot() = std::move(s);
  }
  // Ends the session's engine and waits until it has ended.
  void end_engine() {
    PoisonLock lock(state.mutex());
    ASSERT_TRUE(state.slot()->engine_process.terminate());
    ASSERT_TRUE(state.slot()->engine_process.wait());
  }
  ServiceRequest carrier(CarrierOp op, std::uint64_t generation = 0, std::optional<CarrierConfig> config = {}) {
    ServiceRequest r;
    r.version = 1;
    r.command = Command::carrier;
    r.session_token = "tok";
    r.carrier = CarrierRequest{op, generation, std::move(config)};
    return r;
  }
  ServiceRequest datagram(std::string op) {
    ServiceRequest r;
    r.version = 1;
    r.command = Command::datagram;
    r.session_token = "tok";
    DatagramRequest d;
    d.op = std::move(op);
    d.port = 7000;
    d.auth = "secret";
    d.private_key = std::string(64, 'b');
    d.node_public_key = std::string(64, 'c');
    r.datagram = std::move(d);
    return r;
  }

  LifecycleGate gate;
  test::ManualClock unused_clock;
  test::FakeSessions sessions{unused_clock};
  EngineLaneHandlers lanes;
  SharedState state{gate, sessions, lanes, system_clock()};
};

TEST_F(Lanes, CarrierStatusReturnsTheReceipt) {
  ScriptedEngine engine({{200, R"({"core_generation":3,"armed":true})", {}}});
  add_session(engine.port());
  auto r = lanes.handle_carrier_request(state, carrier(CarrierOp::status));
  ASSERT_TRUE(r) << r.error();
  EXPECT_TRUE(r->success);
  EXPECT_EQ(r->state, "active");
  EXPECT_EQ(r->session_token, "");
  ASSERT_TRUE(r->carrier);
  EXPECT_EQ(r->carrier->core_generation, 3u);
  EXPECT_TRUE(r->carrier->armed);
  engine.finish();
  ASSERT_EQ(engine.requests().size(), 1u);
  EXPECT_EQ(head_line(engine.requests()[0]), "GET /carrier/status HTTP/1.0");
  EXPECT_NE(engine.requests()[0].find("X-Bren-Control-Token: ctl\r\n"), std::string::npos);
}

TEST_F(Lanes, CarrierOfferBodyIsSortedAndStopReadsStatus) {
  ScriptedEngine engine({{200, R"({"core_generation":5})", {}},
                         {200, "ignored", {}},
                         {200, R"({"core_generation":6})", {}}});
  add_session(engine.port());
  CarrierConfig c = offer_config();
  c.auth = "pw";
  auto offered = lanes.handle_carrier_request(state, carrier(CarrierOp::offer, 9, c));
  ASSERT_TRUE(offered) << offered.error();
  auto stopped = lanes.handle_carrier_request(state, carrier(CarrierOp::stop, 9));
  ASSERT_TRUE(stopped) << stopped.error();
  EXPECT_EQ(stopped->carrier->core_generation, 6u);
  engine.finish();
  auto reqs = engine.requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(head_line(reqs[0]), "POST /carrier/offer HTTP/1.0");
  EXPECT_EQ(body_of(reqs[0]),
            R"({"config":{"auth":"pw","consumer_key":")" + std::string(64, 'k') +
                R"(","endpoint":"100.64.1.1:500","node_name":"node","pin":"pin","port_count":4,"server_name":")" +
                std::string(253, 's') + R"(","uplink":"198.51.100.7:443"},"generation":9})");
  EXPECT_EQ(head_line(reqs[1]), "POST /carrier/stop HTTP/1.0");
  EXPECT_EQ(body_of(reqs[1]), R"({"generation":9})");
  EXPECT_EQ(head_line(reqs[2]), "GET /carrier/status HTTP/1.0");
}

TEST_F(Lanes, CarrierFailures) {
  add_session(1);
  struct Row {
    const char* name;
    std::vector<Reply> replies;
    ServiceRequest request;
    const char* code;
  };
  std::vector<Row> rows;
  rows.push_back({"stop_generation_zero", {}, carrier(CarrierOp::stop, 0), "carrier_generation_invalid"});
  rows.push_back({"engine_409", {{409, "{}", {}}}, carrier(CarrierOp::status), "carrier_engine_status_409"});
  rows.push_back({"no_core_generation", {{200, R"({"armed":true})", {}}}, carrier(CarrierOp::status),
                  "carrier_receipt_invalid"});
  rows.push_back({"status_after_stop_fails", {{200, "", {}}, {500, "", {}}}, carrier(CarrierOp::stop, 2),
                  "carrier_status_failed"});
  rows.push_back({"no_blank_line", {{-1, "", {}}}, carrier(CarrierOp::status), "engine_response_invalid"});
  for (auto& r : rows) {
    ScriptedEngine engine(r.replies);
    {
      PoisonLock lock(state.mutex());
      state.slot()->control_port = engine.port();
    }
    auto got = lanes.handle_carrier_request(state, r.request);
    ASSERT_FALSE(got) << r.name;
    EXPECT_EQ(got.error(), r.code) << r.name;
    engine.finish();
    EXPECT_EQ(engine.requests().size(), r.replies.size()) << r.name;
  }
}

TEST_F(Lanes, CarrierRefusesAReceiptFromAChangedSession) {
  std::vector<Reply> replies;
  replies.push_back({200, R"({"core_generation":1})", [&] {
                       PoisonLock lock(state.mutex());
                       state.slot()->control_token = "other";
                     }});
  replies.push_back({200, R"({"core_generation":1})", [&] {
                       PoisonLock lock(state.mutex());
                       state.slot()->session_token = "new";
                     }});
  replies.push_back({200, R"({"core_generation":1})", [&] {
                       PoisonLock lock(state.mutex());
                       state.slot().reset();
                     }});
  ScriptedEngine engine(replies);
  add_session(engine.port());
  EXPECT_EQ(lanes.handle_carrier_request(state, carrier(CarrierOp::status)).error(), "carrier_session_changed");
  {
    PoisonLock lock(state.mutex());
    state.slot()->control_token = "ctl";
  }
  EXPECT_EQ(lanes.handle_carrier_request(state, carrier(CarrierOp::status)).error(), "session_token_invalid");
  {
    PoisonLock lock(state.mutex());
    state.slot()->session_token = "tok";
  }
  EXPECT_EQ(lanes.handle_carrier_request(state, carrier(CarrierOp::status)).error(), "carrier_session_changed");
}

TEST_F(Lanes, SessionChecksComeBeforeAnyEngineCall) {
  ServiceRequest none = carrier(CarrierOp::status);
  none.carrier.reset();
  EXPECT_EQ(lanes.handle_carrier_request(state, none).error(), "carrier_request_missing");
  EXPECT_EQ(lanes.handle_carrier_request(state, carrier(CarrierOp::status)).error(), "session_inactive");
  ServiceRequest no_datagram = datagram("status");
  no_datagram.datagram.reset();
  EXPECT_EQ(lanes.handle_datagram_request(state, no_datagram).error(), "datagram_request_missing");
  EXPECT_EQ(lanes.handle_datagram_request(state, datagram("")).error(), "datagram_op_invalid");
  EXPECT_EQ(lanes.handle_datagram_request(state, datagram("status")).error(), "session_inactive");

  add_session(1);
  ServiceRequest wrong = carrier(CarrierOp::status);
  wrong.session_token = "";
  EXPECT_EQ(lanes.handle_carrier_request(state, wrong).error(), "session_token_invalid");
  {
    auto guard = gate.acquire_lifecycle_guard();
    ASSERT_TRUE(guard);
    EXPECT_EQ(lanes.handle_carrier_request(state, carrier(CarrierOp::status)).error(), "service_busy");
    EXPECT_EQ(lanes.handle_datagram_request(state, datagram("status")).error(), "service_busy");
  }
  gate.set_stopping();
  EXPECT_EQ(lanes.handle_datagram_request(state, datagram("status")).error(), "service_busy");
}

// Both lanes check the caller's session before anything reaches the engine.
TEST_F(Lanes, SessionChecksOfBothLanes) {
  struct Row {
    const char* name;
    bool session;
    std::string token;
    bool busy;
    const char* code;
  };
  const Row rows[] = {
      {"no_session", false, "tok", false, "session_inactive"},
      {"wrong_token", true, "tok2", false, "session_token_invalid"},
      {"token_prefix", true, "to", false, "session_token_invalid"},
      {"empty_token", true, "", false, "session_token_invalid"},
      {"busy", true, "tok", true, "service_busy"},
  };
  auto engine = TcpListener::bind_loopback(0);
  ASSERT_TRUE(engine);
  for (const auto& r : rows) {
    {
      PoisonLock lock(state.mutex());
      state.slot().reset();
    }
    if (r.session) add_session(engine->port());
    std::optional<LifecycleGuard> guard;
    if (r.busy) guard.emplace(*gate.acquire_lifecycle_guard());
    std::vector<ServiceRequest> requests;
    for (const char* op : {"start", "auth", "stop", "status"}) requests.push_back(datagram(op));
    requests.push_back(carrier(CarrierOp::status));
    requests.push_back(carrier(CarrierOp::stop, 3));
    requests.push_back(carrier(CarrierOp::offer, 3, offer_config()));
    for (auto& request : requests) {
      request.session_token = r.token;
      auto got = request.datagram ? lanes.handle_datagram_request(state, request)
                                  : lanes.handle_carrier_request(state, request);
      ASSERT_FALSE(got) << r.name << " " << (request.datagram ? request.datagram->op : "carrier");
      EXPECT_EQ(got.error(), r.code) << r.name << " " << (request.datagram ? request.datagram->op : "carrier");
    }
    EXPECT_FALSE(engine->accept(kAlreadyQueued)) << r.name << ": a request reached the engine";
  }
}

// An engine that has ended no longer holds its port, and any local user may have
// bound it: nothing is sent there, and the lane answers as for an unreachable engine.
TEST_F(Lanes, NothingGoesToTheGoneEnginesPort) {
  auto squatter = TcpListener::bind_loopback(0);
  ASSERT_TRUE(squatter);
  add_session(squatter->port());
  end_engine();
  struct Row {
    ServiceRequest request;
    const char* code;
  };
  std::vector<Row> rows;
  rows.push_back({datagram("start"), "datagram_start_failed:engine_connect_failed"});
  rows.push_back({datagram("auth"), "datagram_auth_failed:engine_connect_failed"});
  rows.push_back({datagram("stop"), "datagram_stop_failed:engine_connect_failed"});
  rows.push_back({datagram("status"), "engine_connect_failed"});
  rows.push_back({carrier(CarrierOp::status), "engine_connect_failed"});
  rows.push_back({carrier(CarrierOp::stop, 3), "engine_connect_failed"});
  rows.push_back({carrier(CarrierOp::offer, 3, offer_config()), "engine_connect_failed"});
  for (auto& r : rows) {
    const std::string what = r.request.datagram ? r.request.datagram->op : "carrier";
    auto got = r.request.datagram ? lanes.handle_datagram_request(state, r.request)
                                  : lanes.handle_carrier_request(state, r.request);
    ASSERT_FALSE(got) << what;
    EXPECT_EQ(got.error(), r.code) << what;
  }
  EXPECT_FALSE(squatter->accept(kAlreadyQueued)) << "a lane request went to the ended engine's port";
}

// The engine is asked before each call, not once per request: one that ends after
// answering the first call gets no second.
TEST_F(Lanes, AnEngineEndingBetweenTwoCallsGetsNoSecond) {
  {
    ScriptedEngine engine({{200, "", [&] { end_engine(); }}});
    add_session(engine.port());
    auto started = lanes.handle_datagram_request(state, datagram("start"));
    ASSERT_TRUE(started) << started.error();
    EXPECT_FALSE(started->datagram.has_value());  // the status read after the start was not made
    engine.finish();
    EXPECT_EQ(engine.requests().size(), 1u);
    EXPECT_FALSE(engine.unscripted_connection());
  }
  {
    ScriptedEngine engine({{200, "", [&] { end_engine(); }}});
    add_session(engine.port());
    EXPECT_EQ(lanes.handle_carrier_request(state, carrier(CarrierOp::stop, 3)).error(), "engine_connect_failed");
    engine.finish();
    EXPECT_EQ(engine.requests().size(), 1u);
    EXPECT_FALSE(engine.unscripted_connection());
  }
}

TEST_F(Lanes, DatagramStartUsesTheFirstPublicIpv4ServerAsRelay) {
  ScriptedEngine engine({{200, "", {}}, {200, R"({"active":true,"caps":3,"stats":{"rx":1}})", {}}});
  add_session(engine.port(), {"10.0.0.5", "1.2.3.4"});
  auto r = lanes.handle_datagram_request(state, datagram("start"));
  ASSERT_TRUE(r) << r.error();
  ASSERT_TRUE(r->datagram);
  EXPECT_TRUE(r->datagram->active);
  EXPECT_EQ(r->datagram->stats_json.value_or(""), R"({"rx":1})");
  engine.finish();
  auto reqs = engine.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(head_line(reqs[0]), "POST /datagram/start HTTP/1.0");
  EXPECT_EQ(body_of(reqs[0]), R"({"allow_443":false,"auth":"secret","node_public_key":")" + std::string(64, 'c') +
                                  R"(","private_key":")" + std::string(64, 'b') +
                                  R"(","relay_addr":"1.2.3.4:7000"})");
  EXPECT_EQ(head_line(reqs[1]), "GET /datagram/status HTTP/1.0");

  add_session(1, {"10.0.0.5", "203.0.113.7"});
  EXPECT_EQ(lanes.handle_datagram_request(state, datagram("start")).error(), "datagram_relay_unavailable");
}

TEST_F(Lanes, DatagramOutcomes) {
  struct Row {
    const char* name;
    const char* op;
    std::vector<Reply> replies;
    const char* code;  // empty: success
    bool has_status;
  };
  const Row rows[] = {
      {"stop_204", "stop", {{204, "", {}}, {200, "{}", {}}}, "", true},
      {"stop_500", "stop", {{500, "", {}}}, "datagram_stop_failed:engine_status_500", false},
      {"auth_closed", "auth", {{-1, "", {}}}, "datagram_auth_failed:engine_response_invalid", false},
      {"start_then_status_503", "start", {{200, "", {}}, {503, "", {}}}, "", false},
      {"status_503", "status", {{503, "", {}}}, "engine_status_503", false},
      {"status_undecodable", "status", {{200, R"({"caps":"x"})", {}}}, "engine_decode_failed", false},
  };
  for (const auto& r : rows) {
    ScriptedEngine engine(r.replies);
    add_session(engine.port());
    auto got = lanes.handle_datagram_request(state, datagram(r.op));
    if (std::string(r.code).empty()) {
      ASSERT_TRUE(got) << r.name << ": " << got.error();
      EXPECT_EQ(got->datagram.has_value(), r.has_status) << r.name;
      EXPECT_FALSE(got->carrier.has_value());
    } else {
      ASSERT_FALSE(got) << r.name;
      EXPECT_EQ(got.error(), r.code) << r.name;
    }
  }
}

TEST_F(Lanes, UnreachableEngine) {
  std::uint16_t dead;
  {
    auto l = TcpListener::bind_loopback(0);
    ASSERT_TRUE(l);
    dead = l->port();
  }
  add_session(dead);
  EXPECT_EQ(lanes.handle_datagram_request(state, datagram("stop")).error(), "datagram_stop_failed:engine_connect_failed");
  EXPECT_EQ(lanes.handle_carrier_request(state, carrier(CarrierOp::status)).error(), "engine_connect_failed");
}

}  // namespace
}  // namespace brenmoor
