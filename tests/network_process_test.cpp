// The process layer against real child programs (tests/helpers).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "network_fakes.h"
#include "platform/env.h"
#include "platform/job.h"
#include "platform/process.h"
#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/wide.h"
#endif

namespace brenmoor {
namespace {

using platform::PipeReader;
using platform::Process;
using platform::SpawnOptions;
using platform::StdioMode;

std::string encode_args(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& a : args) out += std::to_string(a.size()) + ":" + a + "\n";
  return out;
}

// Spawns with stdout piped and returns (stdout, exit code).
std::pair<std::string, std::uint32_t> run_captured(SpawnOptions o) {
  o.stdout_mode = StdioMode::pipe;
  auto p = platform::spawn_process(o);
  EXPECT_TRUE(p.has_value()) << o.program;
  if (!p) return {};
  PipeReader out = p->take_stdout();
  PipeReader err;
  auto bytes = platform::read_to_end(out, err);
  EXPECT_TRUE(bytes.has_value());
  auto code = p->wait();
  EXPECT_TRUE(code.has_value());
  return {bytes ? bytes->stdout_bytes : "", code ? *code : 0xFFFFFFFFu};
}

TEST(ProcessSpawn, EveryArgumentArrivesUnchanged) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"none", {}},
      {"plain", {"interface", "ipv6", "add", "route", "::/1", "Brenmoor Device Path", "::", "metric=1"}},
      {"empty", {"", "x", ""}},
      {"spaces_tabs", {"a b", "\tlead", "trail ", "multi\nline"}},
      {"quotes", {"\"", "say \"hi\"", "\"\"", "a\"b"}},
      {"backslashes", {"C:\\Program Files\\", "\\\\server\\share\\", "a\\\\b", "\\"}},
      {"backslash_before_quote", {"a\\\"b", "a\\\\\"b", "\\\"", "end\\\\"}},
      {"powershell_script",
       {"-NoProfile", "-Command",
        "$alias='Brenmoor Device Path'; $ips=@('10.88.91.1','fd00:ae91::1'); foreach ($ip in $ips) { \"x\" }"}},
      {"unicode", {"Gr\xc3\xbc\xc3\x9f" "e", "\xe2\x80\x99it\xe2\x80\x99s", "\xf0\x9f\x98\x80"}},
      {"caret_percent", {"^&|<>%PATH%!x!"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    SpawnOptions o;
    o.program = test::bin_path("th_net_args");
    o.args = r.args;
    auto [out, code] = run_captured(o);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(out, encode_args(r.args));
  }
}

TEST(ProcessSpawn, CommandLineQuotingRules) {
  struct Row {
    const char* name;
    std::vector<std::string> args;
    std::string line;
  };
  const Row rows[] = {
      {"bare", {"ADD", "0.0.0.0"}, R"("route" ADD 0.0.0.0)"},
      {"empty_arg", {""}, R"("route" "")"},
      {"space", {"Brenmoor Device Path"}, R"("route" "Brenmoor Device Path")"},
      {"quote", {"a\"b"}, R"("route" "a\"b")"},
      {"backslash_no_quote", {"C:\\dir\\x"}, R"("route" C:\dir\x)"},
      {"trailing_backslashes_quoted", {"C:\\a b\\"}, R"("route" "C:\a b\\")"},
      {"backslashes_before_quote", {"a\\\\\"b"}, R"("route" "a\\\\\"b")"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(platform::build_command_line("route", r.args), r.line);
  }
}

// The tools are run from the system folder, never found by a search that would read
// the service's folder, the current folder or PATH first.
TEST(ProcessSpawn, SystemToolsLiveInTheSystemFolder) {
  struct Row {
    const char* name;
    std::string_view folder;
    std::string_view tool;
    std::optional<std::string> path;
  };
  const Row rows[] = {
      {"route", "C:\\Windows\\system32", "route", "C:\\Windows\\system32\\route.exe"},
      {"netsh", "C:\\Windows\\system32", "netsh", "C:\\Windows\\system32\\netsh.exe"},
      {"powershell_below_the_root", "C:\\Windows\\system32", "powershell.exe",
       "C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe"},
      {"folder_with_separator", "D:\\", "route", "D:\\route.exe"},
      {"unknown_tool", "C:\\Windows\\system32", "cmd.exe", std::nullopt},
      {"name_with_extension_is_not_the_name", "C:\\Windows\\system32", "route.exe", std::nullopt},
      {"relative_name", "C:\\Windows\\system32", "..\\route", std::nullopt},
      {"no_folder", "", "route", std::nullopt},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(platform::system_tool_path(r.folder, r.tool), r.path);
  }
#ifdef _WIN32
  // What the runner hands CreateProcessW: the system folder's copy, or for a path the
  // path itself (the tests' helpers); other bare names are refused.
  wchar_t folder[MAX_PATH + 1];
  const UINT n = GetSystemDirectoryW(folder, MAX_PATH + 1);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(platform::network_tool_application("powershell.exe").value(),
            platform::system_tool_path(platform::narrow(std::wstring_view(folder, n)), "powershell.exe").value());
  EXPECT_EQ(platform::network_tool_application(test::bin_path("th_net_exit")).value(), "");
  EXPECT_EQ(platform::network_tool_application("cmd.exe").error(), platform::kSystemToolUnknown);
#else
  EXPECT_EQ(platform::network_tool_application("route").value(), "");  // PATH, where netsim stands in
#endif
}

// The file started is the application; the command line's first word stays the program name.
TEST(ProcessSpawn, TheApplicationIsStartedUnderTheProgramName) {
  SpawnOptions o;
  o.program = "route";
  o.application = test::bin_path("th_net_args");
  o.args = {"--argv0"};
  auto [out, code] = run_captured(o);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(out, "argv0:route\n");
}

TEST(ProcessSpawn, EnvironmentOverridesSitOnTopOfTheServiceEnvironment) {
  SpawnOptions o;
  o.program = test::bin_path("th_net_args");
  o.env = {{"BRENMOOR_TEST_PROBE", "two words;x=y"}};
  o.args = {"--env", "BRENMOOR_TEST_PROBE", "--env", "PATH", "tail"};
  auto [out, code] = run_captured(o);
  auto path = platform::get_env("PATH");
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(out, "env:two words;x=y\nenv:" + *path + "\n4:tail\n");

  // An override replaces the service's own value (on Windows whatever the case of the name).
#ifdef _WIN32
  o.env = {{"Path", "replaced"}};
#else
  o.env = {{"PATH", "replaced"}};
#endif
  o.args = {"--env", "PATH", "--env", "BRENMOOR_TEST_PROBE"};
  auto [out2, code2] = run_captured(o);
  EXPECT_EQ(out2, "env:replaced\nenv-unset\n");
}

TEST(ProcessSpawn, StandardInputIsTheNullDevice) {
  SpawnOptions o;
  o.program = test::bin_path("th_net_args");
  o.args = {"--stdin"};
  auto [out, code] = run_captured(o);
  EXPECT_EQ(out, "stdin:\n");
}

TEST(ProcessSpawn, RefusesWhatCannotBeStarted) {
  struct Row {
    const char* name;
    std::string program;
    std::vector<std::string> args;
  };
  const Row rows[] = {
      {"missing_program", "brenmoor-no-such-program-4711", {}},
      {"missing_path", test::bin_path("th_no_such_helper"), {}},
      {"empty_program", "", {}},
      {"nul_in_argument", test::bin_path("th_net_exit"), {std::string("a\0b", 3)}},
      {"nul_in_program", test::bin_path("th_net_exit") + std::string("\0x", 2), {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    SpawnOptions o;
    o.program = r.program;
    o.args = r.args;
    auto p = platform::spawn_process(o);
    ASSERT_FALSE(p.has_value());
    EXPECT_EQ(p.error(), platform::kSpawnFailed);
  }
}

TEST(ProcessLifecycle, ExitCodesAndTermination) {
  SpawnOptions o;
  o.program = test::bin_path("th_net_exit");
  o.args = {"7"};
  auto seven = platform::spawn_process(o);
  ASSERT_TRUE(seven.has_value());
  EXPECT_EQ(seven->wait().value(), 7u);
  // Once seen, the exit stays visible to both checks.
  EXPECT_EQ(seven->try_wait().value(), std::optional<std::uint32_t>(7u));
  EXPECT_TRUE(seven->terminate().has_value());  // already ended: not an error

  o.program = test::bin_path("th_net_hang");
  o.args = {};
  auto hang = platform::spawn_process(o);
  ASSERT_TRUE(hang.has_value());
  EXPECT_EQ(hang->try_wait().value(), std::nullopt);
  ASSERT_TRUE(hang->terminate().has_value());
  auto code = hang->wait();
  ASSERT_TRUE(code.has_value());
  EXPECT_NE(*code, 0u);
  EXPECT_EQ(hang->try_wait().value(), std::optional<std::uint32_t>(*code));
}

TEST(ProcessLifecycle, ClosingTheJobEndsTheChildAndWhatItStarted) {
  const std::string pid_file = test::make_temp_dir("job") + "/grandchild.pid";
  SpawnOptions o;
  o.program = test::bin_path("th_net_hang");
  o.args = {"--grandchild", pid_file};
  auto p = platform::spawn_process(o);
  ASSERT_TRUE(p.has_value());
  auto job = platform::assign_kill_on_close_job(*p);
  ASSERT_TRUE(job.has_value()) << job.error();
  const std::uint64_t grandchild = test::read_pid_file(pid_file, std::chrono::seconds(10));
  ASSERT_NE(grandchild, 0u);

  platform::Job moved = std::move(*job);
  EXPECT_FALSE(job->valid());
  EXPECT_TRUE(moved.valid());
  moved.close();
  EXPECT_FALSE(moved.valid());
  moved.close();  // idempotent

  // Returns only because the job ended the child (the exit code the system gives a
  // job's victims is its own business).
  EXPECT_TRUE(p->wait().has_value());
  EXPECT_TRUE(test::wait_process_gone(grandchild, std::chrono::seconds(10)));
}

// A child created inside its job is there from its first instruction, so a child it
// starts at once is in the job too and ends with it, long after the first one exited.
TEST(ProcessLifecycle, AChildCreatedInItsJobTakesWhatItStartsAtOnceWithIt) {
  for (const bool use_job_list : {true, false}) {
    SCOPED_TRACE(use_job_list ? "job_list_where_supported" : "suspended_assigned_resumed");
    const std::string pid_file = test::make_temp_dir("in-job") + "/child.pid";
    SpawnOptions o;
    o.program = test::bin_path("th_engine_with_child");
    o.env = {{"BRENMOOR_TEST_CHILD_PIDFILE", pid_file}};
    auto launched = platform::spawn_in_kill_on_close_job(o, use_job_list);
    ASSERT_TRUE(launched.has_value()) << launched.error();
#ifdef _WIN32
    if (!use_job_list) EXPECT_EQ(launched->entry, platform::JobEntry::assigned_while_suspended);
    if (use_job_list) {
      std::printf("[ info ] with PROC_THREAD_ATTRIBUTE_JOB_LIST allowed the child was %s\n",
                  launched->entry == platform::JobEntry::created_in_job ? "created in its job"
                                                                        : "assigned while suspended");
    }
#else
    EXPECT_EQ(launched->entry, platform::JobEntry::created_in_job);
#endif
    EXPECT_EQ(launched->process.wait().value(), 0u);
    const std::uint64_t child = test::read_pid_file(pid_file, std::chrono::seconds(10));
    ASSERT_NE(child, 0u);
    EXPECT_EQ(test::read_file(pid_file + ".entry"), "in_job");
    EXPECT_FALSE(test::wait_process_gone(child, std::chrono::milliseconds(0)));
    launched->job.close();
    EXPECT_TRUE(test::wait_process_gone(child, std::chrono::seconds(10)));
  }
}

TEST(ProcessLifecycle, WaitForIsBounded) {
  SpawnOptions o;
  o.program = test::bin_path("th_net_hang");
  auto launched = platform::spawn_in_kill_on_close_job(o);
  ASSERT_TRUE(launched.has_value());
  EXPECT_EQ(launched->process.wait_for(std::chrono::milliseconds(50)).value(), std::nullopt);
  ASSERT_TRUE(launched->process.terminate().has_value());
  auto code = launched->process.wait_for(std::chrono::seconds(10));
  ASSERT_TRUE(code.has_value());
  EXPECT_TRUE(code->has_value());
}

TEST(ProcessPipes, BothPipesDrainWithoutDeadlock) {
  // More than any pipe buffer on both streams: reading one to its end before the
  // other would block the child for ever.
  SpawnOptions o;
  o.program = test::bin_path("th_net_output");
  o.args = {"-NoProfile", "-Command", "big:1000000;line:done"};
  o.stdout_mode = StdioMode::pipe;
  o.stderr_mode = StdioMode::pipe;
  auto p = platform::spawn_process(o);
  ASSERT_TRUE(p.has_value());
  PipeReader out = p->take_stdout();
  PipeReader err = p->take_stderr();
  EXPECT_FALSE(p->take_stdout().is_open());  // taken once
  auto bytes = platform::read_to_end(out, err);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->stdout_bytes, std::string(1000000, 'x') + "done\n");
  EXPECT_EQ(bytes->stderr_bytes, std::string(1000000, 'x'));
  EXPECT_EQ(p->wait().value(), 0u);
}

TEST(ProcessPipes, NullDeviceStreamsHaveNoPipe) {
  SpawnOptions o;
  o.program = test::bin_path("th_net_exit");
  auto p = platform::spawn_process(o);
  ASSERT_TRUE(p.has_value());
  EXPECT_FALSE(p->take_stdout().is_open());
  EXPECT_FALSE(p->take_stderr().is_open());
  EXPECT_EQ(p->wait().value(), 0u);
}

}  // namespace
}  // namespace brenmoor
