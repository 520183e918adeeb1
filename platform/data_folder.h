// The service's data folder, held open: every file the service keeps there (the
// log, the journal, their temporary, old and rejected names) is created, opened,
// read, renamed and deleted relative to one folder handle that passed its checks.
//
// The folder sits where any user may create things first (C:\ProgramData lets
// standard users make folders). A name resolved again for each operation could be
// redirected between the check and the use (a junction, a symbolic link, an object
// manager link), and SYSTEM would then create, delete or rename a file of the
// user's choice. So the folder is opened once without following a link, checked on
// its handle, its protection put back, and then only names inside it are used,
// never through a link.
//
// Checks of the folder: a real folder (not a reparse point or symbolic link), owned
// by the service's account (Windows: also LocalSystem or Administrators); once its
// protection is put back (Windows: kDataFolderDescriptor; dev host: mode 0700) nobody
// else may write, create, delete or change its permissions. A folder owned by anybody
// else is refused and nothing in it is touched.
//
// Checks of each file, on its own handle: a regular file, exactly one link, owned by
// the service's account. A file a user planted while the folder was open to them is
// thus refused by its owner.
//
// Windows: the folder handle is held without delete sharing while it is in use, so it
// cannot be renamed away and replaced; files are opened by their path under it with
// FILE_FLAG_OPEN_REPARSE_POINT, and renamed or deleted through their own handle
// (SetFileInformationByHandle). Dev host: openat/renameat/unlinkat relative to a
// descriptor opened with O_DIRECTORY|O_NOFOLLOW.
//
// Threads: a DataFolder is used by one thread at a time; any number may exist.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/durable_file.h"
#include "platform/fs.h"

namespace brenmoor::platform {

// The descriptor the folder is created with and put back to (Windows): protected,
// full control for LocalSystem and Administrators, inherited by what is made inside;
// no entry for anybody else, so no user can open, lock or plant a file in it.
inline constexpr std::string_view kDataFolderDescriptor = kPrivateFolderDescriptor;

enum class FolderOpen {
  existing,     // only a folder that is there already
  create,       // made (with its parents) when missing
};

class DataFolder {
 public:
  // Opens and checks the folder, putting its protection back when it differs.
  // Failure: kPrivateFolderUnsafe (exists and fails a check: nothing in it is used),
  // kPrivateFolderFailed (cannot be made, opened or examined).
  [[nodiscard]] static Result<DataFolder> open(std::string_view path, FolderOpen how);

  DataFolder() = default;
  DataFolder(DataFolder&& o) noexcept;
  DataFolder& operator=(DataFolder&& o) noexcept;
  DataFolder(const DataFolder&) = delete;
  DataFolder& operator=(const DataFolder&) = delete;
  ~DataFolder();

  const std::string& path() const { return path_; }

  // The file `name` for writing, created when missing (inheriting the folder's
  // protection), checked on its handle. Failure: kPrivateFileUnsafe when it fails a
  // check (nothing written or truncated), kPrivateFileFailed otherwise.
  [[nodiscard]] Result<PrivateFile> open_file(std::string_view name, PrivateWrite mode);

  // The whole content. kFileMissing, kFileUnsafe, kFileTooLarge (above `limit`),
  // kFileReadFailed.
  [[nodiscard]] Result<std::string> read(std::string_view name, std::size_t limit);

  // Replaces `name` with `bytes` atomically and durably: written to
  // durable_temp_name(name) (a stale one removed first), flushed, moved over the
  // target, the folder flushed. A target that fails the file checks is left as it is
  // (kFileUnsafe). On failure the target is unchanged and the temporary file removed.
  [[nodiscard]] Status replace(std::string_view name, std::string_view bytes);

  // Moves the name `from` to `to` within the folder, replacing `to`; the folder is
  // flushed. A link is moved itself, never what it points at. kFileMissing when there
  // is nothing at `from`, kFileMoveFailed otherwise.
  [[nodiscard]] Status rename(std::string_view from, std::string_view to);

  // Deletes the name (a link is deleted itself, never what it points at); the folder
  // is flushed. A missing name is success. kFileRemoveFailed.
  [[nodiscard]] Status remove(std::string_view name);

  // Flushes the folder's entries to the disk (fsync / FlushFileBuffers), best effort.
  void flush();

 private:
  DataFolder(NativeFile h, std::string path) : h_(h), path_(std::move(path)) {}
  void close() noexcept;

  NativeFile h_ =
#ifdef _WIN32
      nullptr;
#else
      -1;
#endif
  std::string path_;
};

// The temporary name DataFolder::replace writes first: the name plus ".tmp".
std::string durable_temp_name(std::string_view name);

}  // namespace brenmoor::platform
