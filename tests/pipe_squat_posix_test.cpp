// A pipe name held by another process: the loop does not serve on it, logs the
// episode once however often it retries, and takes the name over once it is free.
// (Windows refuses the name through the first-instance flag, which Wine does not
// enforce; on the dev host the lock beside the socket plays that part.)
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "control/pipe_server.h"
#include "pipe_test_support.h"
#include "platform/pipe_client.h"
#include "service/log.h"
#include "service/service_body.h"
#include "support/fakes.h"

namespace brenmoor {
namespace {

std::size_t count_in_log(const std::string& line, std::size_t from) {
  const std::string text = test::read_file(log_file_path()).substr(from);
  std::size_t n = 0;
  for (std::size_t pos = 0; (pos = text.find(" " + line + "\n", pos)) != std::string::npos; ++pos) ++n;
  return n;
}

TEST(PipeSquatPosix, HeldNameIsLoggedOncePerEpisodeAndTakenOverWhenFree) {
  namespace fs = std::filesystem;
  const std::string root = test::make_temp_dir("squat");
  const std::string program_files = test::utf8_path(fs::u8path(root) / "Program Files");
  const std::string client = test::install_client_copy(program_files, "Pellamy/brenmoor-win.exe");
  test::ScopedEnv env("ProgramFiles", program_files);
  const std::string pipe = test::unique_pipe_path();
  fs::create_directories(fs::u8path(pipe).parent_path());

  // The squatter: holds the name's lock as another server would.
  const int squatter = ::open((pipe + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(squatter, 0);
  ASSERT_EQ(::flock(squatter, LOCK_EX | LOCK_NB), 0);

  test::ManualClock clock;
  test::FakeSessions sessions{clock};
  test::FakeLanes lanes;
  auto state = make_service_state({sessions, lanes, clock});
  const std::size_t log_from = test::read_file(log_file_path()).size();
  test::Latch ready;
  std::thread loop([&] { run_pipe_loop(state, pipe, [&] { ready.open(); }); });

  // Four refused attempts, each followed by the retry pause.
  for (int attempt = 1; attempt <= 4; ++attempt) {
    clock.wait_for_sleep_calls(attempt);
    clock.advance(kPipeRetryPause);
  }
  clock.wait_for_sleep_calls(5);
  EXPECT_EQ(count_in_log("pipe name held by another process", log_from), 1u);
  EXPECT_FALSE(fs::exists(fs::u8path(pipe))) << "nothing served while the name is held";

  ::close(squatter);  // the other process goes away
  clock.advance(kPipeRetryPause);
  ready.wait();
  const test::ChildRun r = test::run_child(
      client, {pipe, "send", R"({"version":1,"command":"status","request_id":"r","issued_at_unix_ms":1})"});
  EXPECT_EQ(r.out, R"({"success":true,"state":"idle","error":"","degraded":false,"session_token":""})" "\n");
  EXPECT_EQ(count_in_log("pipe name held by another process", log_from), 1u);

  EXPECT_EQ(handle_service_control(1, state->gate(), pipe), 0u);
  loop.join();
}

}  // namespace
}  // namespace brenmoor
