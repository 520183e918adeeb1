// No secret is left in memory the service releases: every block released while a
// request is handled is recorded and searched for the request's secrets (the
// session token, the configuration's user id, the lane keys) and the control token.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "alloc/alloc_hook.h"
#include "alloc/fake_engine.h"
#include "common/secret.h"
#include "control/frame.h"
#include "control/shared_state.h"
#include "engine/engine_client.h"
#include "engine/engine_launch.h"
#include "lanes/lane_handlers.h"
#include "platform/job.h"
#include "platform/process.h"
#include "support/fakes.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;
using test::FakeEngine;
using test::ReleasedMemory;

// The secrets; each long enough to live on the heap in a string of its own.
constexpr std::string_view kSessionToken = "5e551011-70ce-4a11-9e55-70ce4a11mark";
constexpr std::string_view kControlToken = "c0274011-70ce-4a11-9c7a-70ce4a11mark";
constexpr std::string_view kUserId = "user-id-marker-9d0c5f2e-in-config";
constexpr std::string_view kCarrierAuth = "carrier-auth-marker-7b1e4a90c3d2";
constexpr std::string_view kDatagramAuth = "DatagramAuthMarker+5f0e9c1a/b2d3=";
constexpr std::string_view kPrivateKey = "deadbeefcafef00d5ec2e7a35ec2e7a3deadbeefcafef00d5ec2e7a35ec2e7a3";
constexpr std::string_view kExchangeSecret = "exchange-body-marker-1c0ffee-42";

std::string hex_key() { return std::string(64, 'a'); }

std::string request_body(std::string_view command, std::string_view extra) {
  std::string body = R"({"version":1,"command":")" + std::string(command) +
                     R"(","request_id":"r1","issued_at_unix_ms":1,"session_token":")" + std::string(kSessionToken) +
                     R"(","config_json":"{\"inbounds\":[],\"user\":\")" + std::string(kUserId) + R"(\"}")";
  body.append(extra);
  body.push_back('}');
  return body;
}

std::string frame(std::string_view body) {
  char prefix[4];
  encode_frame_length(static_cast<std::uint32_t>(body.size()), prefix);
  return std::string(prefix, 4) + std::string(body);
}

class MemoryStream final : public platform::PipeStream {
 public:
  explicit MemoryStream(std::string_view bytes) : bytes_(bytes) {}
  Result<std::size_t> read_some(char* data, std::size_t size) override {
    const std::size_t n = std::min(size, bytes_.size());
    std::copy_n(bytes_.data(), n, data);
    bytes_.remove_prefix(n);
    return n;
  }
  Result<std::size_t> write_some(const char*, std::size_t size) override { return size; }

 private:
  std::string_view bytes_;
};

// Hands over at most `chunk` bytes per call, as a client writing in small pieces
// does; the end of the bytes reads as the end of the stream.
class ChunkedStream final : public platform::PipeStream {
 public:
  ChunkedStream(std::string_view bytes, std::size_t chunk) : bytes_(bytes), chunk_(chunk) {}
  Result<std::size_t> read_some(char* data, std::size_t size) override {
    const std::size_t n = std::min({size, chunk_, bytes_.size()});
    std::copy_n(bytes_.data(), n, data);
    bytes_.remove_prefix(n);
    return n;
  }
  Result<std::size_t> write_some(const char*, std::size_t size) override { return size; }

 private:
  std::string_view bytes_;
  std::size_t chunk_;
};

class NoNetwork final : public CommandRunner {
 public:
  Status run(const NetworkCommand&) override { return fail(kCommandSpawnFailed); }
  Result<std::string> run_powershell(std::string_view) override { return fail(kCommandSpawnFailed); }
};

// A session in the slot whose engine is the fake.
struct LaneWorld {
  test::ManualClock clock;
  LifecycleGate gate;
  test::FakeSessions sessions{clock};
  EngineLaneHandlers lanes;
  SharedState state{gate, sessions, lanes, system_clock()};
  explicit LaneWorld(std::uint16_t port) {
    auto s = std::make_unique<EngineSession>();
    // A real engine process in its job: the lanes ask it before every call.
    platform::SpawnOptions o;
    o.program = test::bin_path("th_net_hang");
    auto p = platform::spawn_process(o);
    EXPECT_TRUE(p);
    if (p) {
      s->engine_process = std::move(*p);
      auto job = platform::assign_kill_on_close_job(s->engine_process);
      EXPECT_TRUE(job);
      if (job) s->job = std::move(*job);
    }
    s->control_port = port;
    s->control_token = kControlToken;
    s->session_token = kSessionToken;
    s->network_state.ipv4_servers = {"1.2.3.4"};
    state.slot() = std::move(s);
  }
};

struct Row {
  const char* name;
  std::function<std::vector<std::string>()> run;  // records what it must; returns the secrets to look for
};

// Runs `action` with recording on; everything the test itself holds was made before.
template <class F>
void recorded(F&& action) {
  ReleasedMemory::start();
  action();
  ReleasedMemory::stop();
}

#ifndef _WIN32
// A service folder whose engine announces the fake engine's port and waits.
std::string service_with_script_engine(std::uint16_t port) {
  const fs::path dir = test::make_temp_dir("released-memory");
  const fs::path fixtures = fs::path(test::source_dir()) / "tests/fixtures/service_dir";
  fs::create_directories(dir / "geodata");
  for (const char* f : {"wintun.dll", "geodata/geoip.dat", "geodata/geosite.dat"}) fs::copy_file(fixtures / f, dir / f);
  {
    std::ofstream engine(dir / "engine.exe");
    engine << "#!/bin/sh\necho 'READY port=" << port << "'\nexec sleep 30\n";
  }
  fs::permissions(dir / "engine.exe", fs::perms::owner_all);
  return (dir / "brenmoor-service").string();
}
#endif

TEST(ReleasedMemory, HoldsNoSecret) {
  FakeEngine engine;
  ASSERT_NE(engine.port(), 0);
  const std::string key = hex_key();
  const std::string carrier = R"(,"carrier":{"op":"offer","generation":1,"config":{"endpoint":"8.8.8.8:500",)"
                              R"("port_count":2,"pin":"p","auth":")" + std::string(kCarrierAuth) +
                              R"(","consumer_key":")" + key + R"(","node_name":"n","uplink":"1.2.3.4:443",)"
                              R"("server_name":"s"}})";
  const std::string datagram_start = R"(,"datagram":{"op":"start","port":51820,"auth":")" +
                                     std::string(kDatagramAuth) + R"(","private_key":")" + std::string(kPrivateKey) +
                                     R"(","node_public_key":")" + key + R"("})";
  const std::string datagram_auth = R"(,"datagram":{"op":"auth","auth":")" + std::string(kDatagramAuth) +
                                    R"(","node_public_key":")" + key + R"("})";
  const std::vector<std::string> request_secrets = {std::string(kSessionToken), std::string(kUserId)};
  auto with = [](std::vector<std::string> a, std::initializer_list<std::string_view> more) {
    for (auto m : more) a.emplace_back(m);
    return a;
  };

  // A lane request as the connection handler meets it: read from the frame, handled, dropped.
  auto lane_row = [&](std::string body, bool carrier_lane, std::vector<std::string> secrets) {
    return [&engine, body = std::move(body), carrier_lane, secrets]() {
      LaneWorld world(engine.port());
      const std::string bytes = frame(body);
      MemoryStream stream(bytes);
      std::string error;
      recorded([&] {
        auto request = read_request(stream);
        if (!request) {
          error = "decode: " + request.error();
          return;
        }
        auto r = carrier_lane ? world.lanes.handle_carrier_request(world.state, *request)
                              : world.lanes.handle_datagram_request(world.state, *request);
        if (!r) error = r.error();
      });
      EXPECT_EQ(error, "");
      return secrets;
    };
  };

  const std::vector<Row> rows = {
      {"request decoded",
       [&] {
         const std::string bytes = frame(request_body("carrier", carrier + datagram_start));
         MemoryStream stream(bytes);
         bool decoded = false;
         recorded([&] { decoded = read_request(stream).has_value(); });
         EXPECT_TRUE(decoded);
         return with(request_secrets, {kCarrierAuth, kDatagramAuth, kPrivateKey});
       }},
      {"request that fails to decode after its strings",
       [&] {
         // The parser has unescaped every string before it meets the number.
         const std::string bytes = frame(request_body("carrier", carrier + datagram_start + R"(,"x":1e99999)"));
         MemoryStream stream(bytes);
         std::string error;
         recorded([&] {
           auto r = read_request(stream);
           if (!r) error = r.error();
         });
         EXPECT_EQ(error, "request_decode_failed");
         return with(request_secrets, {kCarrierAuth, kDatagramAuth, kPrivateKey});
       }},
      {"request arriving in many small writes",
       [&] {
         // Long enough for the body's buffer to grow several times; the secrets
         // come first, so every smaller block let go of held them.
         const std::string bytes =
             frame(request_body("carrier", carrier + datagram_start + std::string(600000, ' ')));
         ChunkedStream stream(bytes, 4093);
         bool decoded = false;
         recorded([&] { decoded = read_request(stream).has_value(); });
         EXPECT_TRUE(decoded);
         return with(request_secrets, {kCarrierAuth, kDatagramAuth, kPrivateKey});
       }},
      {"8 MiB announced, a few bytes sent",
       [&] {
         // An announced length costs nothing until its bytes arrive.
         const std::string bytes = frame(std::string(8388608, ' ')).substr(0, 4) + request_body("status", "");
         MemoryStream stream(bytes);
         std::string error;
         recorded([&] {
           auto r = read_request(stream);
           error = r ? "decoded" : r.error();
         });
         EXPECT_EQ(error, "pipe_read_failed");
         std::size_t largest = 0;
         for (const auto& b : ReleasedMemory::blocks()) largest = std::max(largest, b.bytes.size());
         EXPECT_LE(largest, std::size_t{1} << 20) << "the announced length was allocated up front";
         return request_secrets;
       }},
#ifndef _WIN32
      {"start up to the engine's /connect",
       [&] {
         const std::string exe = service_with_script_engine(engine.port());
         const std::string bytes = frame(request_body("start", R"(,"server_address":"5.180.20.10")"));
         MemoryStream stream(bytes);
         NoNetwork runner;
         EngineLaunchConfig launch;
         launch.runner = &runner;
         launch.executable_path = exe;
         std::string error;
         recorded([&] {
           auto request = read_request(stream);
           if (!request) {
             error = "decode: " + request.error();
             return;
           }
           // The adapter wait is the first step after /connect; it fails at once.
           auto session = start_engine_session(*request, launch);
           error = session ? "started" : session.error();
         });
         EXPECT_EQ(error, kCommandSpawnFailed);
         const std::string token = engine.control_token_seen();
         EXPECT_EQ(token.size(), 36u);
         return with(request_secrets, {token});
       }},
#endif
      {"carrier offer", lane_row(request_body("carrier", carrier), true, with(request_secrets, {kControlToken, kCarrierAuth}))},
      {"datagram start", lane_row(request_body("datagram", datagram_start), false,
                                  with(request_secrets, {kControlToken, kDatagramAuth, kPrivateKey}))},
      {"datagram auth", lane_row(request_body("datagram", datagram_auth), false,
                                 with(request_secrets, {kControlToken, kDatagramAuth}))},
      {"general engine exchange",
       [&] {
         JsonValue::Object o;
         o.emplace("secret", std::string(kExchangeSecret));
         const JsonValue body(std::move(o));
         std::string error;
         recorded([&] {
           auto r = engine_exchange(engine.port(), kControlToken, "POST", "/datagram/auth", &body,
                                    MonoClock::now() + std::chrono::seconds(12));
           if (!r) error = r.error();
         });
         EXPECT_EQ(error, "");
         return std::vector<std::string>{std::string(kControlToken), std::string(kExchangeSecret)};
       }},
      {"short secret moved out of a record on the heap",
       [&] {
         // A string of 15 bytes or fewer lives inside its object; moving it copies the
         // bytes and leaves them behind in the moved-from object.
         auto from = std::make_unique<DatagramRequest>();
         from->auth = "xShortSecret15";
         std::string error;
         recorded([&] {
           auto to = std::make_unique<DatagramRequest>(std::move(*from));
           from.reset();
         });
         // The first byte is overwritten by the move itself; look for the rest.
         return std::vector<std::string>{"ShortSecret15"};
       }},
  };

  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<std::string> secrets = row.run();
    ASSERT_TRUE(ReleasedMemory::complete()) << "recording buffer overflowed";
    ASSERT_FALSE(ReleasedMemory::blocks().empty()) << "nothing was released: the hook is not in place";
    for (const std::string& secret : secrets) {
      EXPECT_EQ(test::find_in_released(secret), "") << "secret " << secret;
    }
  }
}

}  // namespace
}  // namespace brenmoor
