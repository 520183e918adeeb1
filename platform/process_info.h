// Facts about the running process.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brenmoor::platform {
// Full path of the running executable (Windows: long-path capable), or nullopt.
std::optional<std::string> current_executable_path();
// The process's command-line arguments, program path first, as UTF-8, read afresh
// from the system on every call (Windows: GetCommandLineW; POSIX: /proc/self/cmdline).
std::vector<std::string> command_line_args();

// The running process's id, as the system's tools show it.
std::uint32_t current_process_id();
}  // namespace brenmoor::platform
