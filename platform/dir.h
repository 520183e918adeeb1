// Read-only file-system queries used to locate the service's assets. Paths are
// UTF-8 text; on Windows they may carry the extended-length "\\?\" prefix, which
// every call here accepts and keeps.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenmoor::platform {

// The platform's final-path form of an existing file or folder, links resolved
// (POSIX realpath; Windows GetFinalPathNameByHandleW, giving "\\?\C:\..." or
// "\\?\UNC\..."). nullopt when the path does not exist or cannot be resolved.
// Whether the path is a folder is not examined.
std::optional<std::string> canonical_path(std::string_view path);

struct DirEntryName {
  std::string name;    // UTF-8; lossy (U+FFFD) when valid_unicode is false
  bool valid_unicode;  // false for names that are not valid UTF-8 (POSIX) or UTF-16 (Windows)
};

// The entries of a folder in the order the platform returns them ("." and ".."
// left out, no sorting). nullopt when the listing cannot be opened or reading
// any entry fails: a partial listing is never returned.
std::optional<std::vector<DirEntryName>> list_directory(std::string_view path);

// True when the path names an existing file that is not a folder, links followed.
bool is_regular_file(std::string_view path);

// The whole file as bytes; nullopt when it cannot be opened or read to its end.
std::optional<std::string> read_whole_file(std::string_view path);

}  // namespace brenmoor::platform
