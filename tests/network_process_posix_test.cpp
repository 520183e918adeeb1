// POSIX-only properties of the process layer: descriptor hygiene, process groups,
// and children dying with a killed service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "network_fakes.h"
#include "platform/job.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

using platform::SpawnOptions;
using platform::StdioMode;

std::string capture(SpawnOptions o) {
  o.stdout_mode = StdioMode::pipe;
  auto p = platform::spawn_process(o);
  EXPECT_TRUE(p.has_value());
  if (!p) return {};
  platform::PipeReader out = p->take_stdout();
  platform::PipeReader err;
  auto bytes = platform::read_to_end(out, err);
  (void)p->wait();
  return bytes ? bytes->stdout_bytes : "";
}

TEST(ProcessPosix, ChildrenInheritNoOtherDescriptors) {
  // A descriptor someone opened without O_CLOEXEC, and a pipe of another child
  // that is still running: neither may reach a new child.
  const int leaky = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 0);
  SpawnOptions other;
  other.program = test::bin_path("th_net_hang");
  other.stdout_mode = StdioMode::pipe;
  auto running = platform::spawn_process(other);
  ASSERT_TRUE(running.has_value());
  auto running_job = platform::assign_kill_on_close_job(*running);
  ASSERT_TRUE(running_job.has_value());

  SpawnOptions o;
  o.program = test::bin_path("th_net_fds_posix");
  EXPECT_EQ(capture(o), "");
  ::close(leaky);
}

TEST(ProcessPosix, ChildLeadsItsOwnProcessGroup) {
  SpawnOptions o;
  o.program = test::bin_path("th_net_hang");
  auto p = platform::spawn_process(o);
  ASSERT_TRUE(p.has_value());
  auto job = platform::assign_kill_on_close_job(*p);
  ASSERT_TRUE(job.has_value());
  EXPECT_EQ(::getpgid(static_cast<pid_t>(p->id())), static_cast<pid_t>(p->id()));
  EXPECT_NE(::getpgid(0), static_cast<pid_t>(p->id()));
}

TEST(ProcessPosix, ChildrenDieWithAKilledService) {
  // The stand-in service starts its child from a thread that ends at once, then is
  // killed with SIGKILL: the child must survive the thread and die with the process.
  SpawnOptions o;
  o.program = test::bin_path("th_net_parent_posix");
  o.args = {test::bin_path("th_net_hang")};
  o.stdout_mode = StdioMode::pipe;
  auto parent = platform::spawn_process(o);
  ASSERT_TRUE(parent.has_value());
  auto parent_job = platform::assign_kill_on_close_job(*parent);  // in case the test fails midway
  ASSERT_TRUE(parent_job.has_value());
  platform::PipeReader out = parent->take_stdout();
  std::string line;
  char c;
  while (line.find('\n') == std::string::npos) {
    auto n = out.read(&c, 1);
    ASSERT_TRUE(n.has_value());
    ASSERT_EQ(*n, 1u) << "stand-in service ended early";
    line.push_back(c);
  }
  const std::uint64_t child = std::stoull(line);
  // The child lives in its own group, so closing the stand-in's job later would not
  // reach it: only the parent-death signal can end it.
  EXPECT_FALSE(test::wait_process_gone(child, std::chrono::milliseconds(300)))
      << "the child died with the thread that started it";
  ASSERT_EQ(::kill(static_cast<pid_t>(parent->id()), SIGKILL), 0);
  EXPECT_TRUE(test::wait_process_gone(child, std::chrono::seconds(10)));
  test::kill_process(child);
}

TEST(ProcessPosix, ManyShortChildrenLeaveNoZombies) {
  // Children whose last owner lets go while they still run are reaped later by the
  // spawner thread; children already ended are reaped at once.
  std::vector<std::uint64_t> pids;
  for (int i = 0; i < 20; ++i) {
    SpawnOptions o;
    o.program = test::bin_path("th_net_exit");
    auto p = platform::spawn_process(o);
    ASSERT_TRUE(p.has_value());
    ASSERT_TRUE(p->wait().has_value());
    pids.push_back(p->id());
  }
  for (auto pid : pids) {
    // Reaped: the pid no longer names a process of ours.
    EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), -1);
  }
}

}  // namespace
}  // namespace brenmoor
