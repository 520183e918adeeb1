// Fixed locations of the service. On Windows they are used as written; on the
// dev host they live under $BRENMOOR_HOST_ROOT (default /tmp/brenmoor-host).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brenmoor::platform {

inline constexpr char kPathSeparator =
#ifdef _WIN32
    '\\';
#else
    '/';
#endif

// "C:\ProgramData\Pellamy", or {host root}/ProgramData/Pellamy on the dev host.
std::string program_data_dir();
// "\\.\pipe\brenmoor-full-device", or {host root}/pipe/brenmoor-full-device.
std::string control_pipe_path();
// The dev-host root folder; on Windows the empty string.
std::string host_root();

// a + separator + b (no separator doubled).
std::string join_path(std::string_view a, std::string_view b);

// Text before the last separator ('/' or, on Windows, also '\\'); nullopt when
// the path has no separator. A root keeps its separator ("/x" -> "/", "C:\\x" -> "C:\\").
std::optional<std::string> parent_directory(std::string_view path);

}  // namespace brenmoor::platform
