// A start that replaces a running session, on a machine where the killed engine's
// adapter is still listed for a while under the name the new one will have: the new
// session must end up on the new adapter, never on the dying one.
#include <gtest/gtest.h>

#include <string>

#include "support/service_world_posix.h"

namespace brenmoor {
namespace {

using test::Outcome;

bool has_line(const std::string& dump, const std::string& start) {
  return dump.starts_with(start) || dump.find("\n" + start) != std::string::npos;
}

TEST(AdapterReplacement, TheNewSessionIsConfiguredOnItsOwnAdapterNotTheLingeringOne) {
  test::ServiceWorld world("replace");
  // Each engine's adapter outlives it by eight tool runs (more than a whole adapter
  // check, DNS snapshot and bring-up up to the address assignment), and the new
  // engine's adapter comes a moment after its /connect: without a wait for the old
  // one to go, the new session would find only the old one by name.
  world.set_engine_faults("adapter_linger_runs=8,adapter_delay_ms=200");
  ASSERT_TRUE(world.start_service());

  const Outcome first = world.start();
  ASSERT_EQ(first.exit_code, 0) << first.out;
  const std::string during_first = world.netsim({"dump"}).out;
  ASSERT_TRUE(has_line(during_first, "address 15 10.88.91.1/30 ")) << during_first;

  const Outcome second = world.start();
  ASSERT_EQ(second.exit_code, 0) << second.out;
  EXPECT_EQ(world.status(), "active");
  const std::string during_second = world.netsim({"dump"}).out;
  EXPECT_FALSE(has_line(during_second, "interface 15 ")) << during_second;
  EXPECT_TRUE(has_line(during_second, "interface 16 alias=\"Brenmoor Device Path\"")) << during_second;
  EXPECT_TRUE(has_line(during_second, "address 16 10.88.91.1/30 ")) << during_second;
  EXPECT_TRUE(has_line(during_second, "address 16 fd00:ae91::1/64 ")) << during_second;
  EXPECT_TRUE(has_line(during_second, "route 16 0.0.0.0/1 ")) << during_second;
  EXPECT_TRUE(has_line(during_second, "dns 16 1.1.1.1")) << during_second;
  EXPECT_EQ(world.engines_running(), 1);

  EXPECT_EQ(world.ctl({"stop"}).exit_code, 0);
}

// The wait ends with the adapter step: an old adapter that never goes fails the start
// with that step's code, and nothing of the new session is left.
TEST(AdapterReplacement, AnOldAdapterThatNeverGoesFailsTheStartAsTheAdapterStep) {
  test::ServiceWorld world("replace-stuck");
  world.set_engine_faults("adapter_linger_runs=1000");
  ASSERT_TRUE(world.start_service());
  const Outcome first = world.start();
  ASSERT_EQ(first.exit_code, 0) << first.out;
  const Outcome second = world.start();
  EXPECT_NE(second.exit_code, 0);
  EXPECT_EQ(test::json_field(second.out, "error"), "adapter_not_ready") << second.out;
  EXPECT_EQ(world.status(), "idle");
  EXPECT_EQ(world.engines_running(), 0);
}

}  // namespace
}  // namespace brenmoor
