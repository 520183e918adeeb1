#include "service/log.h"

#include <cstdio>
#include <mutex>

#include "platform/data_folder.h"
#include "platform/paths.h"

namespace brenmoor {
namespace {

struct CivilDate {
  std::int64_t year;
  unsigned month, day;
};

// Howard Hinnant's days-to-civil algorithm; exact for the whole proleptic Gregorian range.
CivilDate civil_from_days(std::int64_t z) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {y + (m <= 2), m, d};
}

}  // namespace

std::string format_rfc3339(WallTime t) {
  std::int64_t days = t.unix_seconds / 86400;
  std::int64_t secs = t.unix_seconds % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  const CivilDate date = civil_from_days(days);
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02d:%02d:%02d", static_cast<long long>(date.year),
                        date.month, date.day, static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                        static_cast<int>(secs % 60));
  std::string out(buf, static_cast<std::size_t>(n));
  const std::uint32_t ns = t.nanos;
  if (ns != 0) {
    if (ns % 1'000'000 == 0) n = std::snprintf(buf, sizeof buf, ".%03u", ns / 1'000'000);
    else if (ns % 1'000 == 0) n = std::snprintf(buf, sizeof buf, ".%06u", ns / 1'000);
    else n = std::snprintf(buf, sizeof buf, ".%09u", ns);
    out.append(buf, static_cast<std::size_t>(n));
  }
  out.append("+00:00");
  return out;
}

std::string log_file_path() { return platform::join_path(platform::program_data_dir(), kLogFileName); }
std::string old_log_file_path() { return platform::join_path(platform::program_data_dir(), kOldLogFileName); }

namespace {

// One line at a time within the process: appends through separate opens are whole on
// Windows but not under every emulation of it, and the rotation's size check, rename
// and fresh start must not interleave with another line (a second rotation would move
// the fresh log over the old one and lose it).
std::mutex& log_mutex() {
  // Never destroyed: detached threads may still log while the process ends.
  static std::mutex* m = new std::mutex;
  return *m;
}

}  // namespace

void write_log_line(std::string_view message) noexcept {
  try {
    std::string line = format_rfc3339(platform::wall_now());
    line.push_back(' ');
    line.append(message);
    line.push_back('\n');
    std::lock_guard lock(log_mutex());
    // The folder may have been made by a standard user before the service first ran,
    // or swapped for a link: then nothing is written, like any other log failure.
    auto dir = platform::DataFolder::open(platform::program_data_dir(), platform::FolderOpen::create);
    if (!dir) return;
    auto file = dir->open_file(kLogFileName, platform::PrivateWrite::append);
    if (!file) return;
    auto size = file->size();
    if (!size) return;
    if (*size > 0 && *size + line.size() > kLogRotateBytes) {
      file->close();
      // Whatever was at the old name is replaced; a log that cannot be moved is not
      // written past its bound.
      if (!dir->rename(kLogFileName, kOldLogFileName)) return;
      file = dir->open_file(kLogFileName, platform::PrivateWrite::append);
      if (!file) return;
    }
    // One write per line: a reader never sees half a line.
    (void)file->write(line);
  } catch (...) {
    // Logging must never stop the service (allocation failure included).
  }
}

}  // namespace brenmoor
