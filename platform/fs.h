// File system operations the logic needs; paths are UTF-8 text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"

namespace brenmoor::platform {

// Creates the folder and any missing parents; failures (including "exists") are ignored.
void create_directories(std::string_view path);

// Opens the file for appending (created when missing; sharing read, write and delete
// on Windows), writes the bytes, closes it. False when the open or the write failed.
// For the test tools only: the service writes through open_private_file.
bool append_to_file(std::string_view path, std::string_view bytes);

// ---- Private folders ----------------------------------------------------------
//
// A folder that only the service writes to, in a place where any user may create
// things first (C:\ProgramData lets standard users make folders). Writing as SYSTEM
// through a folder or file a user prepared (a junction, a symbolic link, a hard link
// to a file elsewhere) would let that user have any file on the machine created or
// appended to, so nothing is written unless the checks below pass.
//
// "Ours" means owned by the service's own account; on Windows also by LocalSystem or
// the built-in Administrators (what an administrator or the installer may have made).

// The descriptor a private folder is created with, and put back to when an existing
// folder of ours has another (Windows): a protected DACL, full control for
// LocalSystem and Administrators, inherited by files and folders created inside, and
// nothing for anybody else (a user who can open a file can lock it and stall every
// writer). The dev host's equivalent is mode 0700.
inline constexpr std::string_view kPrivateFolderDescriptor = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

inline constexpr std::string_view kPrivateFolderUnsafe = "private_folder_unsafe";
inline constexpr std::string_view kPrivateFolderFailed = "private_folder_failed";
inline constexpr std::string_view kPrivateFileUnsafe = "private_file_unsafe";
inline constexpr std::string_view kPrivateFileFailed = "private_file_failed";

// Creates the missing parents and the folder (Windows: with kPrivateFolderDescriptor),
// then checks what is there now, whoever made it: a real folder, not a reparse point
// or symbolic link, and ours; then puts our protection back if it differs (see
// DataFolder in platform/data_folder.h, which does all of this). Failure: kPrivateFolderUnsafe when it exists and fails a check,
// kPrivateFolderFailed when it cannot be made or examined. Any thread, any time.
[[nodiscard]] Status prepare_private_folder(std::string_view folder);

enum class PrivateWrite {
  append,   // bytes go to the end, each write() whole (append mode)
  replace,  // the file is emptied after the checks passed, never before
};

#ifdef _WIN32
using NativeFile = void*;  // HANDLE
#else
using NativeFile = int;
#endif

// An open file in a private folder. Owns its handle; closing releases it.
class PrivateFile {
 public:
  PrivateFile() = default;
  explicit PrivateFile(NativeFile f) : f_(f) {}
  PrivateFile(PrivateFile&& o) noexcept;
  PrivateFile& operator=(PrivateFile&& o) noexcept;
  PrivateFile(const PrivateFile&) = delete;
  PrivateFile& operator=(const PrivateFile&) = delete;
  ~PrivateFile();

  // Writes all bytes (continuing after partial writes). Failure: kPrivateFileFailed.
  [[nodiscard]] Status write(std::string_view bytes);
  // Flushes to the disk (FlushFileBuffers / fsync). Failure: kPrivateFileFailed.
  [[nodiscard]] Status flush();
  // The file's size in bytes now. Failure: kPrivateFileFailed.
  [[nodiscard]] Result<std::uint64_t> size() const;
  void close() noexcept;
  bool is_open() const;

 private:
  NativeFile f_ =
#ifdef _WIN32
      nullptr;
#else
      -1;
#endif
};

// Opens folder/name for writing only when that is safe. The folder must pass the
// checks of prepare_private_folder (it is not created here) and is held open while
// the file is opened, so it cannot be swapped meanwhile (Windows: opened without
// delete sharing; dev host: the file is opened relative to the folder's descriptor).
// The file is created when missing (inheriting the folder's descriptor) and must be
// a regular file, not a reparse point or symbolic link (which is never followed),
// with exactly one link, and ours. Windows shares it for read, write and delete.
// Failure: kPrivateFolderUnsafe / kPrivateFolderFailed as above, kPrivateFileUnsafe
// when the file fails a check (nothing was written or truncated), kPrivateFileFailed
// when it cannot be opened or examined.
[[nodiscard]] Result<PrivateFile> open_private_file(std::string_view folder, std::string_view name, PrivateWrite mode);

}  // namespace brenmoor::platform
