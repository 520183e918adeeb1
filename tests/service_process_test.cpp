// The process entry as a real process (th_service_host: the service's entry with
// stand-in engine sessions).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "pipe_test_support.h"
#include "platform/paths.h"
#include "service/log.h"

namespace brenmoor {
namespace {

std::vector<platform::EnvOverride> private_host(const std::string& root) {
  std::vector<platform::EnvOverride> env = {{"BRENMOOR_HOST_ROOT", root}};
#ifndef _WIN32
  env.push_back({"NOTIFY_SOCKET", ""});  // a console start: no service manager to talk to
#endif
  return env;
}

std::string child_log_path(const std::string& root) {
#ifdef _WIN32
  (void)root;
  return log_file_path();
#else
  return root + "/ProgramData/Pellamy/brenmoor-service.log";
#endif
}

TEST(ServiceProcess, SelfTestExitsAtOnceAndWritesNothing) {
  const std::string root = test::make_temp_dir("selftest");
  const std::size_t log_before = test::read_file(child_log_path(root)).size();
  for (const auto& args : {std::vector<std::string>{"--self-test"}, std::vector<std::string>{"--run-foreground", "--self-test"}}) {
    auto r = test::run_child(test::bin_path("th_service_host"), args, private_host(root));
    EXPECT_EQ(r.exit_code, 0u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(test::read_file(child_log_path(root)).size(), log_before);
#ifndef _WIN32
  EXPECT_TRUE(std::filesystem::is_empty(root)) << "nothing may be created under the host root";
#endif
}

TEST(ServiceProcess, ConsoleStartWithoutSwitchesFailsWithError) {
  const std::string root = test::make_temp_dir("console");
  const std::size_t log_before = test::read_file(child_log_path(root)).size();
  auto r = test::run_child(test::bin_path("th_service_host"), {"--unknown-switch"}, private_host(root));
  EXPECT_EQ(r.exit_code, 1u);
  EXPECT_EQ(r.err.substr(0, 7), "Error: ") << r.err;
  EXPECT_EQ(r.out, "");
  const std::string log = test::read_file(child_log_path(root)).substr(log_before);
  const std::size_t entry = log.find(" process entry\n");
  const std::size_t registering = log.find(" registering service dispatcher\n");
  ASSERT_NE(entry, std::string::npos) << log;
  ASSERT_NE(registering, std::string::npos) << log;
  EXPECT_LT(entry, registering);
  EXPECT_EQ(log.find("service main entered"), std::string::npos);
}

}  // namespace
}  // namespace brenmoor
