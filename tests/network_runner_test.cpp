// The command runner against real child programs (tests/helpers).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "network/command_runner.h"
#include "network_fakes.h"
#include "platform/env.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

using namespace std::chrono_literals;

const std::string kTimeoutLine = "network command failed: command_timeout";
const std::string kJobLine = "network command failed: command_job_assignment_failed";
const std::string kCancelLine = "network output cancellation: waiter_completion_unconfirmed";
const std::string kOutputTimeoutLine = "network output failed: command_timeout";

// ---- run_network_command ----------------------------------------------------------

TEST(RunNetworkCommand, ExitCodeDecides) {
  struct Row {
    const char* name;
    std::string program;
    std::vector<std::string> args;
    std::optional<std::string_view> error;
  };
  const Row rows[] = {
      {"exit_0", test::bin_path("th_net_exit"), {"0"}, std::nullopt},
      {"exit_7", test::bin_path("th_net_exit"), {"7"}, kCommandFailed},
      {"exit_1", test::bin_path("th_net_exit"), {"1"}, kCommandFailed},
      {"exit_255", test::bin_path("th_net_exit"), {"255"}, kCommandFailed},
      {"missing", "brenmoor-no-such-tool-4711", {"DELETE", "1.2.3.4"}, kCommandSpawnFailed},
  };
  test::LogMark mark;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    Status s = run_network_command(r.program, r.args);
    if (r.error) {
      ASSERT_FALSE(s.has_value());
      EXPECT_EQ(s.error(), *r.error);
    } else {
      EXPECT_TRUE(s.has_value()) << s.error();
    }
  }
  // Callers log what they need; the runner logs only timeouts and job failures.
  EXPECT_TRUE(mark.messages().empty());
}

TEST(RunNetworkCommand, RecordRunsItsProgramWithItsArguments) {
  EXPECT_EQ(run_network_command_record(NetworkCommand{test::bin_path("th_net_exit"), {"7"}}).error(), kCommandFailed);
  EXPECT_TRUE(run_network_command_record(NetworkCommand{test::bin_path("th_net_exit"), {"0"}}).has_value());
}

TEST(RunNetworkCommand, PollsEvery25msAndGivesUpAtTheDeadline) {
  // Virtual time: the hanging child is real, the ten seconds are not.
  test::SteppingClock clock;
  RunnerConfig config;
  config.clock = &clock;
  test::LogMark mark;
  Status s = run_network_command(test::bin_path("th_net_hang"), {}, config);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), kCommandTimeout);
  const auto sleeps = clock.sleeps();
  EXPECT_EQ(sleeps.size(), 400u);  // 10 s / 25 ms, then the check at the deadline
  for (auto d : sleeps) EXPECT_EQ(d, Duration(25ms));
  EXPECT_EQ(mark.messages(), std::vector<std::string>{kTimeoutLine});
}

TEST(RunNetworkCommand, RealHangIsKilledAfterTenSecondsWithEverythingItStarted) {
  // The one test on the real clock: the command starts a helper of its own and hangs.
  const std::string pid_file = test::make_temp_dir("hang") + "/grandchild.pid";
  test::LogMark mark;
  const auto start = std::chrono::steady_clock::now();
  Status s = run_network_command(test::bin_path("th_net_hang"), {"--grandchild", pid_file});
  const auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), kCommandTimeout);
  EXPECT_GE(elapsed, 10s);
  EXPECT_LT(elapsed, 12s);
  EXPECT_EQ(mark.messages(), std::vector<std::string>{kTimeoutLine});
  const std::uint64_t grandchild = test::read_pid_file(pid_file, 1s);
  ASSERT_NE(grandchild, 0u);
  EXPECT_TRUE(test::wait_process_gone(grandchild, 10s));
}

TEST(RunNetworkCommand, SuccessfulCommandLeavesNothingRunning) {
  // The command starts a helper and exits 0 at once; closing the job on the success
  // path ends the helper.
  const std::string pid_file = test::make_temp_dir("left") + "/grandchild.pid";
  Status s = run_network_command(test::bin_path("th_net_hang"), {"--grandchild-exit", pid_file});
  EXPECT_TRUE(s.has_value()) << s.error();
  const std::uint64_t grandchild = test::read_pid_file(pid_file, 0ms);
  ASSERT_NE(grandchild, 0u);
  EXPECT_TRUE(test::wait_process_gone(grandchild, 10s));
}

TEST(RunNetworkCommand, FailedJobAssignmentLeavesNoChild) {
  RunnerConfig config;
  std::uint64_t child_pid = 0;
  config.assign_job = [&](platform::Process& p) -> Result<platform::Job> {
    child_pid = p.id();
    return fail(platform::kJobCreateFailed);
  };
  test::LogMark mark;
  Status s = run_network_command(test::bin_path("th_net_hang"), {}, config);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), kCommandJobAssignmentFailed);
  ASSERT_NE(child_pid, 0u);
  EXPECT_TRUE(test::wait_process_gone(child_pid, 0ms)) << "the child outlived the failed call";
  EXPECT_EQ(mark.messages(), std::vector<std::string>{kJobLine});
}

// ---- run_powershell_script ----------------------------------------------------------

// A stand-in powershell.exe (th_net_output) in a temporary folder. On the dev host
// the folder goes to the front of PATH and the runner finds it by its name, as the
// service finds the real one; under Windows the system folder is searched before
// PATH, so the tests name the copy's full path instead.
class PowerShellRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = test::make_temp_dir("ps");
    namespace fs = std::filesystem;
    fs::copy_file(test::bin_path("th_net_output"), fs::path(dir_) / "powershell.exe");
#ifdef _WIN32
    config_.powershell_program = (fs::path(dir_) / "powershell.exe").string();
#else
    saved_path_ = platform::get_env("PATH");
    const std::string path = dir_ + ":" + saved_path_.value_or("/usr/bin:/bin");
    ::setenv("PATH", path.c_str(), 1);
#endif
  }
  void TearDown() override {
#ifndef _WIN32
    if (saved_path_) ::setenv("PATH", saved_path_->c_str(), 1);
#endif
  }

  std::string dir_;
  RunnerConfig config_;
  std::optional<std::string> saved_path_;
};

TEST_F(PowerShellRunner, OutputExitCodeAndDecoding) {
  struct Row {
    const char* name;
    std::string script;
    Result<std::string> expected;
  };
  const Row rows[] = {
      {"lines", "line:10.88.91.0/24,12,address;line:192.168.1.1,12", std::string("10.88.91.0/24,12,address\n192.168.1.1,12\n")},
      {"nothing", "", std::string()},
      {"stderr_only_exit_0", "err:WARNING something;exit:0", std::string()},
      {"stderr_discarded", "line:1.1.1.1;err:noise", std::string("1.1.1.1\n")},
      {"exit_1_whatever_printed", "line:present;exit:1", fail(kCommandFailed)},
      {"exit_7", "exit:7", fail(kCommandFailed)},
      {"invalid_utf8", "outhex:6f6bff0a;outhex:c328e282;outhex:0a", std::string("ok\xef\xbf\xbd\n\xef\xbf\xbd(\xef\xbf\xbd\n")},
      {"crlf_kept", "outhex:610d0a", std::string("a\r\n")},
      {"large_output", "big:300000", std::string(300000, 'x')},
  };
  test::LogMark mark;
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    auto got = run_powershell_script(r.script, config_);
    EXPECT_EQ(got, r.expected);
  }
  EXPECT_TRUE(mark.messages().empty());
}

TEST_F(PowerShellRunner, ScriptIsOneArgumentAfterNoProfileAndCommand) {
  // The stand-in refuses any other argument shape (exit 99); the script text, with
  // quotes, backslashes and spaces, comes back unchanged (';' separates directives).
  const std::string text = "$alias='Brenmoor Device Path' \"it\\\"s\" \\\\ C:\\x\\ ";
  auto got = run_powershell_script("line:" + text, config_);
  ASSERT_TRUE(got.has_value()) << got.error();
  EXPECT_EQ(*got, text + "\n");
}

TEST_F(PowerShellRunner, TimeoutWithOutputInTheGracePeriodLogsOneLine) {
  config_.limits.command_limit = 300ms;
  test::LogMark mark;
  auto got = run_powershell_script("line:partial;hang", config_);
  EXPECT_EQ(got, Result<std::string>(fail(kCommandTimeout)));
  EXPECT_EQ(mark.messages(), std::vector<std::string>{kOutputTimeoutLine});
}

TEST_F(PowerShellRunner, FailedJobAssignmentLeavesNoChild) {
  std::uint64_t child_pid = 0;
  config_.assign_job = [&](platform::Process& p) -> Result<platform::Job> {
    child_pid = p.id();
    return fail(platform::kJobAssignFailed);
  };
  test::LogMark mark;
  auto got = run_powershell_script("hang", config_);
  EXPECT_EQ(got, Result<std::string>(fail(kCommandJobAssignmentFailed)));
  ASSERT_NE(child_pid, 0u);
  EXPECT_TRUE(test::wait_process_gone(child_pid, 0ms));
  EXPECT_EQ(mark.messages(), std::vector<std::string>{kJobLine});
}

TEST_F(PowerShellRunner, MissingPowerShellIsASpawnFailure) {
  config_.powershell_program = "brenmoor-no-such-shell-4711.exe";
  EXPECT_EQ(run_powershell_script("line:x", config_), Result<std::string>(fail(kCommandSpawnFailed)));
}

#ifndef _WIN32
TEST_F(PowerShellRunner, DefaultProgramNameIsFoundOnPath) {
  auto got = run_powershell_script("line:found");
  EXPECT_EQ(got, Result<std::string>(std::string("found\n")));
}

TEST_F(PowerShellRunner, OutputThatNeverEndsLogsCancellationThenTimeout) {
  // A grandchild in a session of its own keeps the pipes open past the job close
  // (on Windows the job would catch it, so this case exists only here).
  config_.limits.command_limit = 300ms;
  config_.limits.output_grace = 500ms;
  const std::string pid_file = dir_ + "/escaped.pid";
  test::LogMark mark;
  auto got = run_powershell_script("escape:" + pid_file + ";hang", config_);
  EXPECT_EQ(got, Result<std::string>(fail(kCommandTimeout)));
  EXPECT_EQ(mark.messages(), (std::vector<std::string>{kCancelLine, kOutputTimeoutLine}));
  const std::uint64_t escaped = test::read_pid_file(pid_file, 5s);
  ASSERT_NE(escaped, 0u);
  test::kill_process(escaped);
}
#endif

// ---- quoting and output lines -----------------------------------------------------------

TEST(PowerShellQuoting, EscapeAndLiteral) {
  struct Row {
    const char* name;
    std::string text;
    std::string escaped;
  };
  const Row rows[] = {
      {"plain", "Brenmoor Device Path", "Brenmoor Device Path"},
      {"empty", "", ""},
      {"apostrophe", "it's", "it''s"},
      {"only_quotes", "''", "''''"},
      {"double_quotes_untouched", "\"$x\" `n", "\"$x\" `n"},
      {"typographic_quotes", "a\xe2\x80\x98" "b\xe2\x80\x99" "c\xe2\x80\x9a" "d\xe2\x80\x9b",
       "a\xe2\x80\x98\xe2\x80\x98" "b\xe2\x80\x99\xe2\x80\x99" "c\xe2\x80\x9a\xe2\x80\x9a" "d\xe2\x80\x9b\xe2\x80\x9b"},
      {"other_e2_80_untouched", "\xe2\x80\x9c\xe2\x80\x94", "\xe2\x80\x9c\xe2\x80\x94"},
      {"truncated_sequence", "x\xe2\x80", "x\xe2\x80"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(escape_ps_quotes(r.text), r.escaped);
    EXPECT_EQ(ps_literal(r.text), "'" + r.escaped + "'");
  }
}

TEST(OutputLines, SplitTrimSkip) {
  struct Row {
    const char* name;
    std::string text;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {"empty", "", {}},
      {"one_no_newline", "192.168.1.1,12", {"192.168.1.1,12"}},
      {"crlf", "a\r\nb\r\n", {"a", "b"}},
      {"blank_lines", "\n\n  \r\n\tx\t\n\n", {"x"}},
      {"inner_spaces_kept", "  a b  \n", {"a b"}},
      {"lone_cr_inside", "a\rb\n", {"a\rb"}},
      {"unicode_spaces", "\xc2\xa0x\xe2\x80\x83\n\xe3\x80\x80y\xc2\x85", {"x", "y"}},
      {"not_white_space", "\xe2\x80\x8b" "z", {"\xe2\x80\x8b" "z"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<std::string> got;
    for (auto l : output_lines(r.text)) got.emplace_back(l);
    EXPECT_EQ(got, r.lines);
  }
}

}  // namespace
}  // namespace brenmoor
