// The dev host's route change watch: a change of netsim's state file, by rename as
// netsim saves it, is told; other files in its folder are not.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include "platform/route_change.h"
#include "support/test_support.h"

namespace brenmoor::platform {
namespace {

struct Counter {
  std::mutex m;
  std::condition_variable cv;
  int n = 0;
  void bump() {
    std::lock_guard l(m);
    ++n;
    cv.notify_all();
  }
  // Bounded wait for the watch's thread (another thread's inotify read).
  bool wait_for_at_least(int want) {
    std::unique_lock l(m);
    return cv.wait_for(l, std::chrono::seconds(10), [&] { return n >= want; });
  }
  int count() {
    std::lock_guard l(m);
    return n;
  }
};

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

TEST(RouteChangePosix, ReplacedStateFileIsToldOtherFilesAreNot) {
  const std::string dir = test::make_temp_dir("route-change");
  const std::string state = dir + "/net.json";
  write(state, "{}");
  const char* saved = ::getenv("BRENMOOR_NETSIM");
  const std::string previous = saved ? saved : "";
  ::setenv("BRENMOOR_NETSIM", state.c_str(), 1);
  Counter counter;
  {
    auto watch = RouteChangeWatch::start([&] { counter.bump(); });
    ASSERT_TRUE(watch.active());
    write(dir + "/net.json.log", "a line\n");  // netsim's log and lock: not a change
    write(dir + "/other.json", "{}");
    write(dir + "/net.json.tmp", "{\"x\":1}");
    ASSERT_EQ(::rename((dir + "/net.json.tmp").c_str(), state.c_str()), 0);  // how netsim saves
    ASSERT_TRUE(counter.wait_for_at_least(1));
    EXPECT_EQ(counter.count(), 1);
    RouteChangeWatch moved = std::move(watch);
    EXPECT_FALSE(watch.active());  // NOLINT: the moved-from watch tells nothing
    write(state, "{}");
    EXPECT_TRUE(counter.wait_for_at_least(2));
  }
  const int after = counter.count();
  write(state, "{\"y\":2}");  // the watch is gone: never called again
  EXPECT_EQ(counter.count(), after);
  if (saved) {
    ::setenv("BRENMOOR_NETSIM", previous.c_str(), 1);
  } else {
    ::unsetenv("BRENMOOR_NETSIM");
  }

  ::unsetenv("BRENMOOR_NETSIM");
  EXPECT_FALSE(RouteChangeWatch::start([] {}).active());  // no simulated network: none
  if (saved) ::setenv("BRENMOOR_NETSIM", previous.c_str(), 1);
}

}  // namespace
}  // namespace brenmoor::platform
