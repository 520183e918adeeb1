// A start after a stop waits until the stopped session's adapter is gone, so that
// the new session is never configured on the dying one of the same name.
#include <gtest/gtest.h>

#include "engine/session_backend.h"
#include "network/command_runner.h"
#include "network/tun_network.h"
#include "network_fakes.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

TEST(WaitAdapterGone, UntilTheAliasNoLongerAnswersWithTheOldIndex) {
  struct Row {
    const char* name;
    std::vector<Result<std::string>> answers;  // the index lookups in order; the last one repeats
    Status expected;
    std::size_t lookups;
  };
  const Row rows[] = {
      {"gone_at_once", {fail(kCommandFailed)}, {}, 1},
      {"old_twice_then_gone", {std::string("15\r\n"), std::string(" 15 \r\n"), fail(kCommandFailed)}, {}, 3},
      {"another_index", {std::string("15\r\n"), std::string("16\r\n")}, {}, 2},
      {"no_index_printed", {std::string("\r\n")}, {}, 1},
      {"never_goes", {std::string("15\r\n")}, fail("adapter_not_ready"), 30},
      {"runner_timeout", {std::string("15\r\n"), fail(kCommandTimeout)}, fail(kCommandTimeout), 2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    test::RecordingRunner runner;
    std::size_t asked = 0;
    runner.on_query = [&](std::string_view script) {
      EXPECT_EQ(script, adapter_index_script("Brenmoor Device Path"));
      return r.answers[std::min(asked++, r.answers.size() - 1)];
    };
    test::SteppingClock clock;
    EXPECT_EQ(wait_adapter_gone("Brenmoor Device Path", "15", runner, clock), r.expected);
    EXPECT_EQ(asked, r.lookups);
    for (auto d : clock.sleeps()) EXPECT_LE(d, Duration(250ms));
  }
}

TEST(WaitAdapterGone, BoundedByTheAdapterLimit) {
  test::RecordingRunner runner;
  runner.on_query = [](std::string_view) { return Result<std::string>(std::string("15")); };
  test::SteppingClock clock;
  const MonoTime began = clock.now();
  EXPECT_EQ(wait_adapter_gone("Brenmoor Device Path", "15", runner, clock, 600ms), Status(fail("adapter_not_ready")));
  EXPECT_EQ(clock.now() - began, Duration(600ms));
  EXPECT_EQ(runner.calls.size(), 3u);  // at 0, 250 and 500 ms
}

}  // namespace
}  // namespace brenmoor
