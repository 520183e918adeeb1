#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "platform/fs.h"
#include "platform/paths.h"

namespace brenmoor::platform {

void create_directories(std::string_view path) {
  std::string p(path);
  for (std::size_t i = 1; i <= p.size(); ++i) {
    if (i == p.size() || p[i] == '/') {
      std::string prefix = p.substr(0, i);
      ::mkdir(prefix.c_str(), 0755);
    }
  }
}

bool append_to_file(std::string_view path, std::string_view bytes) {
  std::string p(path);
  int fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = true;
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) { ok = false; break; }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return ok;
}

namespace {

bool write_all(int fd, std::string_view bytes) {
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// O_NOFOLLOW: a symbolic link in place of the folder is refused, not followed.
Status open_checked_folder(std::string_view folder, Fd& out) {
  const std::string p(folder);
  out.fd = ::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (out.fd < 0) return fail(errno == ELOOP || errno == ENOTDIR ? kPrivateFolderUnsafe : kPrivateFolderFailed);
  struct stat st {};
  if (::fstat(out.fd, &st) != 0) return fail(kPrivateFolderFailed);
  if (!S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return fail(kPrivateFolderUnsafe);
  return {};
}

}  // namespace

Status prepare_private_folder(std::string_view folder) {
  if (auto parent = parent_directory(folder)) create_directories(*parent);
  const std::string p(folder);
  if (::mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) return fail(kPrivateFolderFailed);
  Fd dir;
  return open_checked_folder(folder, dir);
}

PrivateFile::PrivateFile(PrivateFile&& o) noexcept : f_(std::exchange(o.f_, -1)) {}
PrivateFile& PrivateFile::operator=(PrivateFile&& o) noexcept {
  if (this != &o) {
    close();
    f_ = std::exchange(o.f_, -1);
  }
  return *this;
}
PrivateFile::~PrivateFile() { close(); }
bool PrivateFile::is_open() const { return f_ >= 0; }
void PrivateFile::close() noexcept {
  if (f_ >= 0) ::close(f_);
  f_ = -1;
}
Status PrivateFile::write(std::string_view bytes) {
  if (f_ < 0 || !write_all(f_, bytes)) return fail(kPrivateFileFailed);
  return {};
}
Status PrivateFile::flush() {
  if (f_ < 0 || ::fsync(f_) != 0) return fail(kPrivateFileFailed);
  return {};
}

Result<PrivateFile> open_private_file(std::string_view folder, std::string_view name, PrivateWrite mode) {
  Fd dir;
  if (auto s = open_checked_folder(folder, dir); !s) return std::unexpected(s.error());
  const std::string n(name);
  if (n.empty() || n.find('/') != std::string::npos) return fail(kPrivateFileFailed);
  // O_NONBLOCK: a FIFO in place of the file must not hang the writer; it is refused below.
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (mode == PrivateWrite::append ? O_APPEND : 0);
  Fd f;
  f.fd = ::openat(dir.fd, n.c_str(), flags, 0644);
  // ELOOP: a symbolic link; ENXIO: a FIFO nobody reads; EISDIR: a folder.
  if (f.fd < 0) return fail(errno == ELOOP || errno == ENXIO || errno == EISDIR ? kPrivateFileUnsafe : kPrivateFileFailed);
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) return fail(kPrivateFileFailed);
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || st.st_uid != ::geteuid()) return fail(kPrivateFileUnsafe);
  const int fl = ::fcntl(f.fd, F_GETFL);
  if (fl < 0 || ::fcntl(f.fd, F_SETFL, fl & ~O_NONBLOCK) != 0) return fail(kPrivateFileFailed);
  if (mode == PrivateWrite::replace && ::ftruncate(f.fd, 0) != 0) return fail(kPrivateFileFailed);
  return PrivateFile(std::exchange(f.fd, -1));
}

}  // namespace brenmoor::platform
