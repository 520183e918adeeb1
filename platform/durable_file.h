// Small files that must survive a crash or a power loss whole: written to a
// temporary file beside the target, flushed to the disk, then moved over the
// target in one step, so a reader sees the old content or the new, never a part.
//
// The service runs with the highest rights, in a folder others may have touched
// before it existed. So neither the target nor the temporary file may be a link
// (symbolic link, hard link with a second name, or on Windows any reparse point),
// and on the dev host neither may belong to another user: such a file is refused
// ("file_unsafe") and left as it is.
//
// Each call opens the file's folder as a DataFolder (platform/data_folder.h: checked,
// held, its protection put back) and works on the name relative to it; a folder that
// fails its checks gives "file_unsafe" and nothing in it is touched. The service
// itself holds a DataFolder and calls it directly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.h"

namespace brenmoor::platform {

inline constexpr std::string_view kFileUnsafe = "file_unsafe";          // link, reparse point, foreign owner, not a file
inline constexpr std::string_view kFileMissing = "file_missing";        // nothing at the path
inline constexpr std::string_view kFileTooLarge = "file_too_large";     // longer than the caller's limit
inline constexpr std::string_view kFileWriteFailed = "file_write_failed";
inline constexpr std::string_view kFileReadFailed = "file_read_failed";
inline constexpr std::string_view kFileMoveFailed = "file_move_failed";
inline constexpr std::string_view kFileRemoveFailed = "file_remove_failed";

// The temporary file replace_file_durably writes first: the path plus ".tmp".
std::string durable_temp_path(std::string_view path);

// Replaces the file at `path` with `bytes`, durably and atomically. A stale
// temporary file (from a crash between write and move) is removed first. On any
// failure the target is unchanged and the temporary file is removed again.
[[nodiscard]] Status replace_file_durably(std::string_view path, std::string_view bytes);

// The whole content of a file that passes the same refusal (kFileMissing when
// there is none; kFileTooLarge above `limit` bytes).
[[nodiscard]] Result<std::string> read_private_file(std::string_view path, std::size_t limit);

// Removes the file (a link is removed itself, never what it points at); a missing
// file is success.
[[nodiscard]] Status remove_file(std::string_view path);

// Moves the file (or link) at `from` to `to` in the same folder, replacing whatever
// `to` was; a move to another folder fails.
[[nodiscard]] Status move_file_aside(std::string_view from, std::string_view to);

}  // namespace brenmoor::platform
