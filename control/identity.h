// Is the process at the other end of the pipe the genuine desktop client? Only its
// executable's name and location count: brenmoor-win.exe or pellamy.exe (ASCII case
// ignored) somewhere below the directory in the service's own `ProgramFiles`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/pipe_server.h"

namespace brenmoor {

// Path rules: Windows paths have drive letters ("C:", compared without regard to
// case), UNC prefixes and both separators; dev-host paths have '/' only.
enum class PathStyle { windows, posix };

#ifdef _WIN32
inline constexpr PathStyle kHostPathStyle = PathStyle::windows;
#else
inline constexpr PathStyle kHostPathStyle = PathStyle::posix;
#endif

// Removes a leading "\\?\" or "\??\" (Windows style only).
std::string_view strip_image_prefix(std::string_view path, PathStyle style);

// The final component equals an accepted client name, ignoring ASCII case. A path
// without a final component (a root, or one ending in "..") fails.
bool client_name_accepted(std::string_view image_path, PathStyle style);

// `path` lies at or below `base`, compared component by component: repeated
// separators and "." components do not count, a partial component never matches,
// the drive letter ignores case, everything else is exact. An empty base matches
// nothing, and neither does a path with a ".." component: the system reports
// normalised image paths, so such a path can only mean something is wrong.
bool path_within(std::string_view path, std::string_view base, PathStyle style);

// The name and location rules on an image path as the system reported it; the
// prefix is stripped here. program_files is the service's `ProgramFiles` (nullopt
// when unset). Failure: "client_identity_unverified", with no detail.
[[nodiscard]] Status verify_client_image(std::string_view image_path, const std::optional<std::string>& program_files,
                                         PathStyle style);

// The whole check on a connected pipe: the client's image path from the system and
// the rules above against this process's `ProgramFiles`.
[[nodiscard]] Status check_client_identity(platform::PipeInstance& pipe);

}  // namespace brenmoor
