// The service log: one line per event in {program data}/brenmoor-service.log.
// Best effort by design: nothing here ever reports failure or throws.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace brenmoor {

inline constexpr std::string_view kLogFileName = "brenmoor-service.log";
inline constexpr std::string_view kOldLogFileName = "brenmoor-service.old.log";
// A line that would take the log past this size first moves it to the old name
// (replacing the one there), so the folder never holds much more than twice this
// however many lines a local process provokes.
inline constexpr std::uint64_t kLogRotateBytes = 8 * 1024 * 1024;

// Appends "{RFC 3339 UTC timestamp} {message}\n". Any thread, any time; lines are
// written one at a time within the process. The file is opened and closed for every
// line, so nothing is held back in the process.
void write_log_line(std::string_view message) noexcept;

// "2026-12-10T03:15:30.250+00:00": no fraction at 0 ns; 3, 6 or 9 digits otherwise.
std::string format_rfc3339(WallTime t);

// Full path of the log file (for tools and tests).
std::string log_file_path();
std::string old_log_file_path();

}  // namespace brenmoor
