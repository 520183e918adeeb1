#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/durable_file.h"
#include "platform/paths.h"

namespace brenmoor::platform {
namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// One name, a plain file, ours. The hard-link count matters as much as the link
// flag: a second name for a file elsewhere would let a write land there.
bool acceptable(const struct stat& st) {
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid();
}

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

// The rename is durable only once the folder's entry is on the disk as well.
void sync_parent(std::string_view path) {
  auto parent = parent_directory(path);
  if (!parent) return;
  int fd = ::open(parent->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)::fsync(fd);
  ::close(fd);
}

}  // namespace

std::string durable_temp_path(std::string_view path) { return std::string(path) + ".tmp"; }

Status replace_file_durably(std::string_view path, std::string_view bytes) {
  const std::string target(path);
  const std::string temp = durable_temp_path(path);
  if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return fail(kFileWriteFailed);
  auto give_up = [&](std::string_view code) {
    (void)::unlink(temp.c_str());
    return fail(code);
  };
  {
    Fd f{::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (f.fd < 0) return fail(errno == EEXIST || errno == ELOOP ? kFileUnsafe : kFileWriteFailed);
    struct stat st {};
    if (::fstat(f.fd, &st) != 0) return give_up(kFileWriteFailed);
    if (!acceptable(st)) return give_up(kFileUnsafe);
    if (!write_all(f.fd, bytes) || ::fsync(f.fd) != 0) return give_up(kFileWriteFailed);
  }
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0) {
    if (!acceptable(st)) return give_up(kFileUnsafe);
  } else if (errno != ENOENT) {
    return give_up(kFileWriteFailed);
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) return give_up(kFileMoveFailed);
  sync_parent(path);
  return {};
}

Result<std::string> read_private_file(std::string_view path, std::size_t limit) {
  const std::string p(path);
  // O_NONBLOCK: a FIFO planted at the path must not hang the service.
  Fd f{::open(p.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
  if (f.fd < 0) {
    if (errno == ENOENT) return fail(kFileMissing);
    return fail(errno == ELOOP ? kFileUnsafe : kFileReadFailed);
  }
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) return fail(kFileReadFailed);
  if (!acceptable(st)) return fail(kFileUnsafe);
  if (static_cast<std::size_t>(st.st_size) > limit) return fail(kFileTooLarge);
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(f.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(kFileReadFailed);
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
    if (out.size() > limit) return fail(kFileTooLarge);
  }
  return out;
}

Status remove_file(std::string_view path) {
  const std::string p(path);
  if (::unlink(p.c_str()) != 0) {
    if (errno == ENOENT) return {};
    return fail(kFileRemoveFailed);
  }
  sync_parent(path);
  return {};
}

Status move_file_aside(std::string_view from, std::string_view to) {
  const std::string f(from), t(to);
  if (::rename(f.c_str(), t.c_str()) != 0) return fail(kFileMoveFailed);
  sync_parent(to);
  return {};
}

}  // namespace brenmoor::platform
