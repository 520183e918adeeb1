// The handler bound on the real named pipe: 128 held connections take every
// instance the limit allows; the 129th client finds the pipe busy and is served once
// the held connections reach their deadline and their handlers end.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "control/frame.h"
#include "control/pipe_server.h"
#include "pipe_test_support.h"
#include "platform/pipe_client.h"
#include "platform/pipe_server.h"
#include "service/service_body.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

const std::string kIdle = R"({"success":true,"state":"idle","error":"","degraded":false,"session_token":""})";
const std::string kStatus = R"({"version":1,"command":"status","request_id":"r","issued_at_unix_ms":1})";

double seconds_since(MonoTime t) { return std::chrono::duration<double>(MonoClock::now() - t).count(); }

TEST(PipeBoundWin, The129thClientWaitsForAHandlerToEnd) {
  namespace fs = std::filesystem;
  const std::string root = test::make_temp_dir("bound");
  const std::string program_files = test::utf8_path(fs::u8path(root) / "Program Files");
  const std::string client = test::install_client_copy(program_files, "Pellamy/brenmoor-win.exe");
  test::ScopedEnv env("ProgramFiles", program_files);
  const std::string pipe = test::unique_pipe_path();

  test::FakeSessions sessions{system_clock()};
  test::FakeLanes lanes;
  auto state = make_service_state({sessions, lanes, system_clock()});
  test::Latch ready;
  constexpr auto kRead = 6s;
  std::thread loop([&] { run_pipe_loop(state, pipe, [&] { ready.open(); }, {.request_read = kRead}); });
  ready.wait();

  platform::SpawnOptions o;
  o.program = client;
  o.args = {pipe, "many", "hold", "128"};
  o.stdout_mode = platform::StdioMode::pipe;
  auto holder = platform::spawn_process(o);
  ASSERT_TRUE(holder) << holder.error();
  auto out = holder->take_stdout();
  std::string line;
  char buf[64];
  while (line.find('\n') == std::string::npos) {
    auto n = out.read(buf, sizeof buf);
    ASSERT_TRUE(n && *n > 0) << "holder ended early";
    line.append(buf, *n);
  }
  const MonoTime held_at = MonoClock::now();
  ASSERT_EQ(line.substr(0, line.find_first_of("\r\n")), "connected 128");

  // Every instance is a handler's: the system refuses a 129th (the limit given to
  // CreateNamedPipeW) and a client finds the pipe busy.
  {
    platform::PipeServer extra(pipe);
    auto instance = extra.create_instance("D:P(A;;GA;;;SY)(A;;GA;;;BA)", platform::InstanceKind::another);
    EXPECT_FALSE(instance.has_value()) << "a 129th instance was made";
    auto busy = platform::open_pipe_client(pipe, Duration::zero());
    ASSERT_FALSE(busy.has_value());
    EXPECT_EQ(busy.error(), platform::kPipeBusy);
  }

  const test::ChildRun late = test::run_child(client, {pipe, "send", kStatus});
  EXPECT_EQ(late.out, kIdle + "\n") << late.err;
  EXPECT_GE(seconds_since(held_at), 4.0) << "served before a held connection ended";
  EXPECT_LT(seconds_since(held_at), 20.0);

  (void)holder->terminate();
  (void)holder->wait();
  EXPECT_EQ(handle_service_control(1, state->gate(), pipe), 0u);
  loop.join();
  EXPECT_TRUE(test::connection_handlers_ended());
}

}  // namespace
}  // namespace brenmoor
