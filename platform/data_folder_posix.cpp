#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/data_folder.h"
#include "platform/paths.h"
#include "platform/posix_fd.h"

namespace brenmoor::platform {
namespace {

constexpr mode_t kFolderMode = 0700;

// One component: never a path that could leave the folder.
bool plain_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

// One name, a plain file, ours. The hard-link count matters as much as the link
// flag: a second name for a file elsewhere would let a write land there.
bool acceptable_file(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid();
}

void create_parents(std::string_view path) {
  if (auto parent = parent_directory(path)) create_directories(*parent);
}

}  // namespace

std::string durable_temp_name(std::string_view name) { return std::string(name) + ".tmp"; }

Result<DataFolder> DataFolder::open(std::string_view path, FolderOpen how) {
  const std::string p(path);
  // O_NOFOLLOW: a symbolic link in place of the folder is refused, not followed.
  const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd dir(::open(p.c_str(), flags));
  if (!dir.valid() && errno == ENOENT && how == FolderOpen::create) {
    create_parents(path);
    if (::mkdir(p.c_str(), kFolderMode) != 0 && errno != EEXIST) return fail(kPrivateFolderFailed);
    dir.reset(::open(p.c_str(), flags));
  }
  if (!dir.valid()) return fail(errno == ELOOP || errno == ENOTDIR ? kPrivateFolderUnsafe : kPrivateFolderFailed);
  struct stat st {};
  if (::fstat(dir.get(), &st) != 0) return fail(kPrivateFolderFailed);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return fail(kPrivateFolderUnsafe);
  // Ours, so our protection goes back on before anything inside is used; the files
  // are then checked one by one.
  if ((st.st_mode & 07777) != kFolderMode) {
    if (::fchmod(dir.get(), kFolderMode) != 0 || ::fstat(dir.get(), &st) != 0) return fail(kPrivateFolderFailed);
    if ((st.st_mode & 07777) != kFolderMode) return fail(kPrivateFolderUnsafe);
  }
  return DataFolder(dir.release(), p);
}

DataFolder::DataFolder(DataFolder&& o) noexcept : h_(std::exchange(o.h_, -1)), path_(std::move(o.path_)) {}
DataFolder& DataFolder::operator=(DataFolder&& o) noexcept {
  if (this != &o) {
    close();
    h_ = std::exchange(o.h_, -1);
    path_ = std::move(o.path_);
  }
  return *this;
}
DataFolder::~DataFolder() { close(); }
void DataFolder::close() noexcept { UniqueFd closing(std::exchange(h_, -1)); }

void DataFolder::flush() {
  if (h_ >= 0) (void)::fsync(h_);
}

Result<PrivateFile> DataFolder::open_file(std::string_view name, PrivateWrite mode) {
  if (h_ < 0 || !plain_name(name)) return fail(kPrivateFileFailed);
  const std::string n(name);
  // O_NONBLOCK: a FIFO in place of the file must not hang the writer; it is refused below.
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (mode == PrivateWrite::append ? O_APPEND : 0);
  UniqueFd f(::openat(h_, n.c_str(), flags, 0600));
  // ELOOP: a symbolic link; ENXIO: a FIFO nobody reads; EISDIR: a folder.
  if (!f.valid()) return fail(errno == ELOOP || errno == ENXIO || errno == EISDIR ? kPrivateFileUnsafe : kPrivateFileFailed);
  struct stat st {};
  if (::fstat(f.get(), &st) != 0) return fail(kPrivateFileFailed);
  if (!acceptable_file(st)) return fail(kPrivateFileUnsafe);
  const int fl = ::fcntl(f.get(), F_GETFL);
  if (fl < 0 || ::fcntl(f.get(), F_SETFL, fl & ~O_NONBLOCK) != 0) return fail(kPrivateFileFailed);
  if (mode == PrivateWrite::replace && ::ftruncate(f.get(), 0) != 0) return fail(kPrivateFileFailed);
  return PrivateFile(f.release());
}

Result<std::string> DataFolder::read(std::string_view name, std::size_t limit) {
  if (h_ < 0 || !plain_name(name)) return fail(kFileReadFailed);
  const std::string n(name);
  // O_NONBLOCK: a FIFO planted at the name must not hang the service.
  UniqueFd f(::openat(h_, n.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!f.valid()) {
    if (errno == ENOENT) return fail(kFileMissing);
    return fail(errno == ELOOP ? kFileUnsafe : kFileReadFailed);
  }
  struct stat st {};
  if (::fstat(f.get(), &st) != 0) return fail(kFileReadFailed);
  if (!acceptable_file(st)) return fail(kFileUnsafe);
  if (static_cast<std::size_t>(st.st_size) > limit) return fail(kFileTooLarge);
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n_read = ::read(f.get(), buf, sizeof buf);
    if (n_read < 0 && errno == EINTR) continue;
    if (n_read < 0) return fail(kFileReadFailed);
    if (n_read == 0) break;
    out.append(buf, static_cast<std::size_t>(n_read));
    if (out.size() > limit) return fail(kFileTooLarge);
  }
  return out;
}

Status DataFolder::replace(std::string_view name, std::string_view bytes) {
  if (h_ < 0 || !plain_name(name)) return fail(kFileWriteFailed);
  const std::string target(name);
  const std::string temp = durable_temp_name(name);
  if (::unlinkat(h_, temp.c_str(), 0) != 0 && errno != ENOENT) return fail(kFileWriteFailed);
  auto give_up = [&](std::string_view code) {
    (void)::unlinkat(h_, temp.c_str(), 0);
    return fail(code);
  };
  {
    UniqueFd f(::openat(h_, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!f.valid()) return fail(errno == EEXIST || errno == ELOOP ? kFileUnsafe : kFileWriteFailed);
    struct stat st {};
    if (::fstat(f.get(), &st) != 0) return give_up(kFileWriteFailed);
    if (!acceptable_file(st)) return give_up(kFileUnsafe);
    if (!write_all(f.get(), bytes) || ::fsync(f.get()) != 0) return give_up(kFileWriteFailed);
  }
  struct stat st {};
  if (::fstatat(h_, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!acceptable_file(st)) return give_up(kFileUnsafe);
  } else if (errno != ENOENT) {
    return give_up(kFileWriteFailed);
  }
  if (::renameat(h_, temp.c_str(), h_, target.c_str()) != 0) return give_up(kFileMoveFailed);
  flush();
  return {};
}

Status DataFolder::rename(std::string_view from, std::string_view to) {
  if (h_ < 0 || !plain_name(from) || !plain_name(to)) return fail(kFileMoveFailed);
  const std::string f(from), t(to);
  // renameat moves a link itself, never what it points at.
  if (::renameat(h_, f.c_str(), h_, t.c_str()) != 0) return fail(errno == ENOENT ? kFileMissing : kFileMoveFailed);
  flush();
  return {};
}

Status DataFolder::remove(std::string_view name) {
  if (h_ < 0 || !plain_name(name)) return fail(kFileRemoveFailed);
  const std::string n(name);
  if (::unlinkat(h_, n.c_str(), 0) != 0) return errno == ENOENT ? Status{} : fail(kFileRemoveFailed);
  flush();
  return {};
}

}  // namespace brenmoor::platform
