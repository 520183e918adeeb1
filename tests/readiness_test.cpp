#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/readiness.h"
#include "platform/job.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

struct LineCase {
  const char* line;
  std::optional<std::uint16_t> port;
};

TEST(ReadyLine, Forms) {
  const LineCase cases[] = {
      {"READY port=443", 443},
      {" READY port=443 \r\n", 443},
      {"\tREADY port=+80\n", 80},
      {"READY port=00080", 80},
      {"READY port=0", 0},
      {"READY port=65535", 65535},
      {"READY port=65536", std::nullopt},
      {"READY port=0000000000000065535", 65535},
      {"READY port=-1", std::nullopt},
      {"READY port=", std::nullopt},
      {"READY port=+", std::nullopt},
      {"READY port= 443", std::nullopt},
      {"READY port=44 3", std::nullopt},
      {"ready port=443", std::nullopt},
      {"READY  port=443", std::nullopt},
      {"READY port=443x", std::nullopt},
      {"xREADY port=443", std::nullopt},
      {"\xE3\x80\x80READY port=7\xE3\x80\x80", 7},  // ideographic space is Unicode white space
  };
  for (const auto& c : cases) EXPECT_EQ(parse_ready_line(c.line), c.port) << c.line;
}

// Feeds the text in chunks of `step` bytes, as a pipe might deliver it.
Result<std::uint16_t> scan(const std::string& text, std::size_t step) {
  std::size_t pos = 0;
  return read_readiness([&](char* buf, std::size_t len) -> Result<std::size_t> {
    const std::size_t n = std::min({len, step, text.size() - pos});
    std::copy_n(text.data() + pos, n, buf);
    pos += n;
    return n;
  });
}

TEST(ReadReadiness, LinesAcrossChunks) {
  const std::string banner = "engine 1.0\nlistening...\n";
  for (std::size_t step : {1, 3, 8192}) {
    EXPECT_EQ(scan(banner + " READY port=443 \nmore\n", step).value_or(0), 443) << step;
    EXPECT_EQ(scan(banner + "READY port=9", step).value_or(0), 9) << "unterminated last line, step " << step;
    auto eof = scan(banner + "ready port=1\n", step);
    ASSERT_FALSE(eof);
    EXPECT_EQ(eof.error(), "engine_ready_timeout");
    auto bad = scan("\xFF\xFE\nREADY port=1\n", step);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error(), "engine_ready_read_failed");
  }
  // A line far longer than the buffer is still read whole.
  EXPECT_EQ(scan(std::string(20000, ' ') + "READY port=5\n", 8192).value_or(0), 5);
  // An endless line is skipped without holding it, and reading goes on after it.
  EXPECT_EQ(scan(std::string(kReadinessLineLimit + 10, 'x') + "READY port=6\nREADY port=7\n", 8192).value_or(0), 7);
}

TEST(ReadReadiness, ReadErrorFails) {
  auto r = read_readiness([](char*, std::size_t) -> Result<std::size_t> { return fail("pipe_read_failed"); });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "engine_ready_read_failed");
}

struct Child {
  platform::Process process;
  platform::Job job;
};

Child start_printer(std::vector<std::string> args) {
  platform::SpawnOptions options;
  options.program = test::bin_path("th_print_lines");
  options.args = std::move(args);
  options.stdout_mode = platform::StdioMode::pipe;
  auto p = platform::spawn_process(options);
  EXPECT_TRUE(p.has_value());
  Child c{std::move(*p), {}};
  auto job = platform::assign_kill_on_close_job(c.process);
  EXPECT_TRUE(job.has_value());
  c.job = std::move(*job);
  return c;
}

TEST(ReadinessWaiter, RealChildPrintsBannerThenReady) {
  Child c = start_printer({"engine starting", "config loaded", " READY port=443 ", "--hang"});
  ReadinessWaiter waiter(c.process.take_stdout());
  auto port = waiter.wait(std::chrono::seconds(30));
  ASSERT_TRUE(port.has_value()) << port.error();
  EXPECT_EQ(*port, 443);
}

TEST(ReadinessWaiter, EarlyExitFailsAtOnce) {
  Child c = start_printer({"banner only"});
  ReadinessWaiter waiter(c.process.take_stdout());
  const auto started = MonoClock::now();
  auto port = waiter.wait(std::chrono::seconds(30));
  ASSERT_FALSE(port.has_value());
  EXPECT_EQ(port.error(), "engine_ready_timeout");
  EXPECT_LT(MonoClock::now() - started, std::chrono::seconds(10));
}

TEST(ReadinessWaiter, SilenceTimesOutAndTheKilledChildEndsTheWaiter) {
  Child c = start_printer({"--hang"});
  ReadinessWaiter waiter(c.process.take_stdout());
  auto port = waiter.wait(std::chrono::milliseconds(200));
  ASSERT_FALSE(port.has_value());
  EXPECT_EQ(port.error(), "engine_ready_timeout");
  c.job.close();
  auto code = c.process.wait();
  EXPECT_TRUE(code.has_value());
}

}  // namespace
}  // namespace brenmoor
