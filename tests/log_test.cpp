#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/paths.h"
#include "service/log.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

struct TimeCase {
  std::int64_t seconds;
  std::uint32_t nanos;
  const char* expected;
};

TEST(Rfc3339, Formats) {
  const TimeCase cases[] = {
      {0, 0, "1970-01-01T00:00:00+00:00"},
      {1781061330, 0, "2026-06-10T03:15:30+00:00"},
      {1781061330, 250'000'000, "2026-06-10T03:15:30.250+00:00"},
      {1781061330, 1'000'000, "2026-06-10T03:15:30.001+00:00"},
      {1781061330, 250'000, "2026-06-10T03:15:30.000250+00:00"},
      {1781061330, 100, "2026-06-10T03:15:30.000000100+00:00"},
      {1781061330, 999'999'999, "2026-06-10T03:15:30.999999999+00:00"},
      {951782400, 0, "2000-02-29T00:00:00+00:00"},  // leap day
      {4102444799, 0, "2099-12-31T23:59:59+00:00"},
      {-1, 0, "1969-12-31T23:59:59+00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_rfc3339({c.seconds, c.nanos}), c.expected) << c.seconds;
}

std::vector<std::string> log_lines() {
  std::istringstream in(test::read_file(log_file_path()));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(ServiceLog, CreatesTheFolderAndAppendsLines) {
  std::filesystem::remove_all(platform::program_data_dir());
  write_log_line("first line");
  write_log_line("second line");
  auto lines = log_lines();
  ASSERT_GE(lines.size(), 2u);
  const std::string& a = lines[lines.size() - 2];
  const std::string& b = lines.back();
  EXPECT_TRUE(a.ends_with(" first line")) << a;
  EXPECT_TRUE(b.ends_with(" second line")) << b;
  // "YYYY-MM-DDThh:mm:ss[.fraction]+00:00 message"
  const std::string stamp = a.substr(0, a.find(' '));
  EXPECT_EQ(stamp[4], '-');
  EXPECT_EQ(stamp[10], 'T');
  EXPECT_TRUE(stamp.ends_with("+00:00")) << stamp;
  EXPECT_EQ(test::read_file(log_file_path()).find('\r'), std::string::npos);
}

TEST(ServiceLog, TwoThreadsBothWriteWholeLines) {
  constexpr int kPerThread = 200;
  const auto before = log_lines().size();
  auto writer = [](char tag) {
    for (int i = 0; i < kPerThread; ++i) write_log_line(std::string("concurrent ") + tag + " " + std::to_string(i));
  };
  std::thread t1(writer, 'a'), t2(writer, 'b');
  t1.join();
  t2.join();
  // Other threads of the test run (detached handlers of earlier tests) may log in
  // between; only this test's lines are counted, and each must be whole.
  auto lines = log_lines();
  int a = 0, b = 0;
  const std::regex whole(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00 concurrent [ab] \d+$)");
  for (std::size_t i = before; i < lines.size(); ++i) {
    if (lines[i].find("concurrent") == std::string::npos) continue;
    ASSERT_TRUE(std::regex_match(lines[i], whole)) << lines[i];
    (lines[i][lines[i].find(" concurrent ") + 12] == 'a' ? a : b)++;
  }
  EXPECT_EQ(a, kPerThread);
  EXPECT_EQ(b, kPerThread);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Two threads cross the bound together: exactly one of them moves the log aside,
// replacing an older old log, and every line lands once, whole, in one of the two.
TEST(ServiceLog, TwoThreadsCrossingTheBoundLoseNoLineAndLeaveOneOldLog) {
  write_log_line("before the fill");
  const std::string log = log_file_path();
  const std::string old = old_log_file_path();
  { std::ofstream(old, std::ios::binary) << "an older old log\n"; }
  {
    std::ofstream out(log, std::ios::binary | std::ios::app);
    const std::string filler = std::string(99, 'f') + "\n";
    for (auto size = std::filesystem::file_size(log); size + filler.size() < kLogRotateBytes - 2000; size += filler.size())
      out << filler;
  }
  constexpr int kPerThread = 200;  // about 24 KB together: one crossing, never two
  auto writer = [](char tag) {
    for (int i = 0; i < kPerThread; ++i) write_log_line(std::string("crossing ") + tag + " " + std::to_string(i));
  };
  std::thread t1(writer, 'a'), t2(writer, 'b');
  t1.join();
  t2.join();

  ASSERT_TRUE(std::filesystem::exists(old));
  const std::string old_text = test::read_file(old);
  const std::string new_text = test::read_file(log);
  EXPECT_LE(old_text.size(), kLogRotateBytes);
  EXPECT_LE(new_text.size(), kLogRotateBytes);
  EXPECT_EQ(old_text.find("an older old log"), std::string::npos);
  EXPECT_NE(old_text.find("before the fill"), std::string::npos) << "the old log is the one that was filled";
  const std::regex whole(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00 crossing ([ab]) (\d+)$)");
  std::map<std::string, int> seen;
  for (const std::string* text : {&old_text, &new_text}) {
    for (const auto& line : lines_of(*text)) {
      if (line.find("crossing") == std::string::npos) continue;
      std::smatch m;
      ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
      ++seen[m[1].str() + m[2].str()];
    }
  }
  EXPECT_EQ(seen.size(), 2u * kPerThread);
  for (const auto& [line, count] : seen) EXPECT_EQ(count, 1) << line;
  // Only the log and its one old log: the crossing made no third file.
  int logs = 0;
  for (const auto& e : std::filesystem::directory_iterator(platform::program_data_dir()))
    logs += e.path().filename().string().starts_with("brenmoor-service");
  EXPECT_EQ(logs, 2);
  std::filesystem::remove(old);
}

#ifndef _WIN32
TEST(ServiceLog, UnwritableFolderIsSilent) {
  // A file where the folder should be: creation and open fail, the call returns normally.
  const std::string root = platform::host_root();
  std::filesystem::remove_all(platform::program_data_dir());
  std::filesystem::create_directories(root + "/ProgramData");
  { std::ofstream(root + "/ProgramData/Pellamy") << "not a folder"; }
  write_log_line("goes nowhere");
  std::filesystem::remove(root + "/ProgramData/Pellamy");
  write_log_line("back again");
  EXPECT_TRUE(log_lines().back().ends_with(" back again"));
}
#endif

}  // namespace
}  // namespace brenmoor
