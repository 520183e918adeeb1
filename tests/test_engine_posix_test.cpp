// brenmoor-test-engine as a real child process, driven through the service's own
// engine control client: the process contract (banner, readiness line), the
// control token, /connect and /disconnect with the simulated network's adapter,
// the lane endpoints' records, and a few fault knobs.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "control/records.h"
#include "engine/engine_client.h"
#include "support/test_support.h"

extern char** environ;

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

constexpr std::string_view kToken = "5d41402a-bc4b-4a76-b971-9d911017c592";
// Readiness bound of the service; a healthy stand-in answers in milliseconds.
constexpr Duration kReadyBound = 10s;
constexpr std::string_view kAdapterRecord = "\"alias\":\"Brenmoor Device Path\"";

// The engine as a child: standard output piped to us, standard input and error
// on the null device, killed and reaped on destruction.
class EngineChild {
 public:
  explicit EngineChild(const std::map<std::string, std::string>& env_overrides) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string_view kv(*e);
      std::string name(kv.substr(0, kv.find('=')));
      if (!env_overrides.contains(name)) env.emplace_back(kv);
    }
    for (const auto& [k, v] : env_overrides) env.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);

    std::string program = test::bin_path("brenmoor-test-engine");
    std::string arg_port = "-port", arg_zero = "0";
    char* argv[] = {program.data(), arg_port.data(), arg_zero.data(), nullptr};

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    int rc = posix_spawn(&pid_, program.c_str(), &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
      pid_ = -1;
      ::close(fds[0]);
      return;
    }
    out_ = fds[0];
  }
  ~EngineChild() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  bool started() const { return pid_ > 0; }
  // True while the child has not ended (a zombie has ended).
  bool running() const { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  pid_t pid() const { return pid_; }

  // The next complete line of standard output, without "\n"; nullopt at end of
  // stream or when the bound passes.
  std::optional<std::string> next_line(Duration bound) {
    const auto deadline = MonoClock::now() + bound;
    for (;;) {
      std::size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - MonoClock::now()).count();
      if (left <= 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      int r = ::poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return std::nullopt;
      char buf[512];
      ssize_t n = ::read(out_, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
  }

  // Reads lines until "READY port=N"; returns N. Collects the lines before it.
  std::optional<std::uint16_t> wait_ready(std::vector<std::string>* before = nullptr) {
    const auto deadline = MonoClock::now() + kReadyBound;
    while (auto line = next_line(deadline - MonoClock::now())) {
      if (line->starts_with("READY port=")) return static_cast<std::uint16_t>(std::stoi(line->substr(11)));
      if (before) before->push_back(*line);
    }
    return std::nullopt;
  }

  // Waits for the child to end; its exit status, or -1 when it was signalled.
  int wait_exit() {
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return -2;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

std::map<std::string, std::string> engine_env(std::string faults = "", std::string netsim = "") {
  std::map<std::string, std::string> env{{"BREN_CONTROL_TOKEN", std::string(kToken)},
                                         {"BRENMOOR_ENGINE_FAULTS", std::move(faults)}};
  if (netsim.empty()) {
    env["BRENMOOR_NETSIM"] = "";  // overridden to empty: no simulated network
  } else {
    env["BRENMOOR_NETSIM"] = std::move(netsim);
  }
  return env;
}

Result<EngineReply> call(std::uint16_t port, std::string_view method, std::string_view path,
                         const JsonValue* body = nullptr, std::string_view token = kToken) {
  return engine_exchange(port, token, method, path, body, MonoClock::now() + 12s);
}

JsonValue offer_body(std::uint64_t generation) {
  JsonValue::Object config{{"endpoint", "100.64.1.1:500"}, {"port_count", JsonValue(std::int64_t{4})},
                           {"pin", "pin"},
                           {"auth", "secret"},
                           {"consumer_key", std::string(64, 'k')},
                           {"node_name", "node-a"},
                           {"uplink", "1.2.3.4:443"},
                           {"server_name", "vpn.example.net"}};
  return JsonValue(JsonValue::Object{{"config", JsonValue(std::move(config))}, {"generation", JsonValue(generation)}});
}

// Polls a condition that another process makes true, every 10 ms up to the bound.
template <class F>
bool eventually(F condition, Duration bound = 10s) {
  const auto deadline = MonoClock::now() + bound;
  while (!condition()) {
    if (MonoClock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

constexpr std::string_view kConfig = R"({"inbounds":[{"protocol":"tun","name":"Brenmoor Device Path"}]})";

TEST(TestEngine, AnnouncesItsPortAfterBannerLinesAndGuardsEveryPath) {
  EngineChild engine(engine_env());
  ASSERT_TRUE(engine.started());
  std::vector<std::string> banner;
  auto port = engine.wait_ready(&banner);
  ASSERT_TRUE(port);
  EXPECT_NE(*port, 0);
  EXPECT_GE(banner.size(), 1u);

  struct Row {
    const char* name;
    std::string_view method, path, token;
    int status;
  };
  const std::vector<Row> rows = {
      {"no token", "GET", "/carrier/status", "", 401},
      {"wrong token", "GET", "/carrier/status", "5d41402a-bc4b-4a76-b971-9d911017c593", 401},
      {"token guards unknown paths too", "GET", "/nothing", "", 401},
      {"right token", "GET", "/carrier/status", kToken, 200},
      {"unknown path", "GET", "/nothing", kToken, 404},
      {"wrong method", "POST", "/datagram/status", kToken, 405},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto r = call(*port, row.method, row.path, nullptr, row.token);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->status, row.status);
  }
  // /connect through the HTTP/1.1 path without the token is refused as well.
  Status refused = engine_connect(*port, "not-the-token", kConfig);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "engine_start_failed");
}

TEST(TestEngine, ConnectCreatesAndDisconnectRemovesTheAdapterInTheSimulatedNetwork) {
  const std::string state = test::make_temp_dir("test-engine-netsim") + "/netsim.json";
  EngineChild engine(engine_env("", state));
  ASSERT_TRUE(engine.started());
  auto port = engine.wait_ready();
  ASSERT_TRUE(port);

  ASSERT_TRUE(engine_connect(*port, kToken, kConfig));
  std::string after_connect = test::read_file(state);
  EXPECT_NE(after_connect.find(kAdapterRecord), std::string::npos) << after_connect;
  EXPECT_NE(after_connect.find("\"owner_pid\":" + std::to_string(engine.pid())), std::string::npos);

  // A second /connect is refused and leaves the one adapter in place.
  Status again = engine_connect(*port, kToken, kConfig);
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error(), "engine_start_failed");

  ASSERT_TRUE(engine_disconnect(*port, kToken));
  // The client does not read the disconnect's reply, so nothing tells it when
  // the engine is done: watch the state file, with a bound.
  EXPECT_TRUE(eventually([&] { return test::read_file(state).find(kAdapterRecord) == std::string::npos; }))
      << test::read_file(state);
}

TEST(TestEngine, ConnectChecksItsBody) {
  EngineChild engine(engine_env());
  auto port = engine.wait_ready();
  ASSERT_TRUE(port);
  JsonValue::Object good{{"ad_block_enabled", true},     {"config_json", "{}"},
                         {"country_code", ""},           {"path_rotate", false},
                         {"routing_mode", "FullDevice"}, {"strict_residential_global", false},
                         {"web_direct_domains", JsonValue(JsonValue::Array{})}};
  auto with = [&](const char* key, JsonValue v) {
    JsonValue::Object o = good;
    o[key] = std::move(v);
    return JsonValue(std::move(o));
  };
  auto without = [&](const char* key) {
    JsonValue::Object o = good;
    o.erase(key);
    return JsonValue(std::move(o));
  };
  struct Row {
    const char* name;
    JsonValue body;
    int status;
  };
  const std::vector<Row> rows = {
      {"config_json not JSON", with("config_json", "{not json"), 400},
      {"config_json not a string", with("config_json", JsonValue(JsonValue::Object{})), 400},
      {"path_rotate missing", without("path_rotate"), 400},
      {"web_direct_domains not an array", with("web_direct_domains", ""), 400},
      {"not an object", JsonValue(JsonValue::Array{}), 400},
      {"all seven", JsonValue(good), 200},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto r = call(*port, "POST", "/connect", &row.body);
    ASSERT_TRUE(r) << r.error();
    EXPECT_EQ(r->status, row.status) << r->body;
  }
}

TEST(TestEngine, LaneEndpointsKeepStateAndAnswerWithTheServiceRecords) {
  EngineChild engine(engine_env());
  auto port = engine.wait_ready();
  ASSERT_TRUE(port);

  const JsonValue offer5 = offer_body(5);
  auto offered = call(*port, "POST", "/carrier/offer", &offer5);
  ASSERT_TRUE(offered);
  ASSERT_EQ(offered->status, 200) << offered->body;
  auto receipt = decode_carrier_status(offered->body);
  ASSERT_TRUE(receipt) << offered->body;
  EXPECT_EQ(receipt->core_generation, 5u);
  EXPECT_EQ(receipt->installed_generation, 5u);
  EXPECT_TRUE(receipt->armed);
  EXPECT_EQ(receipt->uplink, "1.2.3.4:443");

  const JsonValue offer3 = offer_body(3);
  auto stale = call(*port, "POST", "/carrier/offer", &offer3);
  ASSERT_TRUE(stale);
  EXPECT_EQ(stale->status, 409);

  const JsonValue stop4(JsonValue::Object{{"generation", JsonValue(std::uint64_t{4})}});
  auto wrong_stop = call(*port, "POST", "/carrier/stop", &stop4);
  ASSERT_TRUE(wrong_stop);
  EXPECT_EQ(wrong_stop->status, 409);
  const JsonValue stop5(JsonValue::Object{{"generation", JsonValue(std::uint64_t{5})}});
  auto stopped = call(*port, "POST", "/carrier/stop", &stop5);
  ASSERT_TRUE(stopped);
  EXPECT_EQ(stopped->status, 200);
  auto status = call(*port, "GET", "/carrier/status");
  ASSERT_TRUE(status);
  auto after = decode_carrier_status(status->body);
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->armed);
  EXPECT_EQ(after->core_generation, 5u);

  const JsonValue start(JsonValue::Object{{"allow_443", true},
                                          {"auth", "dG9rZW4="},
                                          {"node_public_key", std::string(64, 'a')},
                                          {"private_key", std::string(64, 'B')},
                                          {"relay_addr", "1.2.3.4:51820"}});
  auto started = call(*port, "POST", "/datagram/start", &start);
  ASSERT_TRUE(started);
  EXPECT_EQ(started->status, 200);
  auto dstatus = call(*port, "GET", "/datagram/status");
  ASSERT_TRUE(dstatus);
  ASSERT_EQ(dstatus->status, 200);
  auto d = decode_datagram_status(dstatus->body);
  ASSERT_TRUE(d) << dstatus->body;
  EXPECT_TRUE(d->active);
  ASSERT_TRUE(d->stats_json);
  EXPECT_NE(d->stats_json->find("1.2.3.4:51820"), std::string::npos);

  const JsonValue empty(JsonValue::Object{});
  auto dstop = call(*port, "POST", "/datagram/stop", &empty);
  ASSERT_TRUE(dstop);
  EXPECT_EQ(dstop->status, 204);
  auto dafter = call(*port, "GET", "/datagram/status");
  ASSERT_TRUE(dafter);
  auto d2 = decode_datagram_status(dafter->body);
  ASSERT_TRUE(d2);
  EXPECT_FALSE(d2->active);
}

TEST(TestEngine, FaultKnobsBendTheReplies) {
  EngineChild engine(engine_env(
      "connect_status=500,datagram_status_status=503,carrier_status_body=bare,"
      "carrier_offer_reply=no_blank_line,datagram_auth_reply=oversized,all_trickle_ms=0"));
  auto port = engine.wait_ready();
  ASSERT_TRUE(port);

  Status c = engine_connect(*port, kToken, kConfig);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), "engine_start_failed");

  auto ds = call(*port, "GET", "/datagram/status");
  ASSERT_TRUE(ds);
  EXPECT_EQ(ds->status, 503);

  auto cs = call(*port, "GET", "/carrier/status");
  ASSERT_TRUE(cs);
  EXPECT_EQ(cs->status, 200);
  EXPECT_EQ(cs->body, "{}");
  EXPECT_FALSE(decode_carrier_status(cs->body));  // core_generation is required

  const JsonValue offer = offer_body(1);
  auto co = call(*port, "POST", "/carrier/offer", &offer);
  ASSERT_FALSE(co);
  EXPECT_EQ(co.error(), "engine_response_invalid");

  const JsonValue auth(JsonValue::Object{{"auth", "x"}, {"node_public_key", std::string(64, 'a')}});
  auto da = call(*port, "POST", "/datagram/auth", &auth);
  ASSERT_FALSE(da);
  EXPECT_EQ(da.error(), "engine_response_too_large");
}

TEST(TestEngine, ConnectWithoutAdapterKnobLeavesTheNetworkUntouched) {
  const std::string state = test::make_temp_dir("test-engine-noadapter") + "/netsim.json";
  EngineChild engine(engine_env("no_adapter=1", state));
  auto port = engine.wait_ready();
  ASSERT_TRUE(port);
  ASSERT_TRUE(engine_connect(*port, kToken, kConfig));
  EXPECT_EQ(test::read_file(state).find(kAdapterRecord), std::string::npos);
}

TEST(TestEngine, ExitBeforeReadinessEndsTheOutputWithThatCode) {
  EngineChild engine(engine_env("exit_before_ready=7"));
  ASSERT_TRUE(engine.started());
  EXPECT_FALSE(engine.wait_ready());  // end of stream, long before the bound
  EXPECT_EQ(engine.wait_exit(), 7);
}

TEST(TestEngine, NoReadyKeepsRunningSilently) {
  EngineChild engine(engine_env("no_ready=1"));
  ASSERT_TRUE(engine.started());
  std::vector<std::string> lines;
  while (auto line = engine.next_line(2s)) {
    if (line->starts_with("READY")) FAIL() << "announced readiness";
    lines.push_back(*line);
  }
  // The bound passed with the process still alive (no end of stream).
  EXPECT_TRUE(engine.running());
}

TEST(TestEngine, MisspelledKnobStopsTheEngine) {
  EngineChild engine(engine_env("conect_status=401"));
  ASSERT_TRUE(engine.started());
  EXPECT_FALSE(engine.wait_ready());
  EXPECT_EQ(engine.wait_exit(), 2);
}

}  // namespace
}  // namespace brenmoor
