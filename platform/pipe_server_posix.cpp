#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
// The control pipe on the dev host: one Unix stream socket for all instances.
//
// The descriptor's trustees become the socket file's access (docs/dev-host.md):
//   SY (the service's own account)   -> owner: the service's effective uid
//   BA (the built-in Administrators) -> group: gid 0 (root); mode 0660
//   S-1-22-1-{uid} / S-1-22-2-{gid}  -> a POSIX ACL entry granting that user / group
//                                       read and write (Samba's Unix-id SIDs)
//   any other SID                    -> no Unix equivalent; grants nothing here
// Connecting to a Unix socket needs write permission on its file, so these bits are
// the whole of the access check. When the group cannot be made root's (a service not
// running as root), the mode falls back to 0600: less access, never more.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/sddl.h"
#include "platform/fs.h"
#include "platform/paths.h"
#include "platform/pipe_server.h"

namespace brenmoor::platform {
namespace {

struct SocketAccess {
  std::vector<std::uint32_t> users;   // extra users (ACL)
  std::vector<std::uint32_t> groups;  // extra groups (ACL)
  bool administrators = false;        // BA present: group root may connect
};

std::optional<std::uint32_t> unix_id_from_sid(std::string_view sid, std::string_view kind_prefix) {
  if (sid.substr(0, kind_prefix.size()) != kind_prefix) return std::nullopt;
  const std::string_view digits = sid.substr(kind_prefix.size());
  if (digits.empty() || digits.find('-') != std::string_view::npos) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : digits) {
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > 0xFFFFFFFEu) return std::nullopt;  // (uid_t)-1 means "no change" to the system
  }
  return static_cast<std::uint32_t>(v);
}

std::optional<SocketAccess> map_descriptor(std::string_view descriptor) {
  auto trustees = parse_descriptor_trustees(descriptor);
  if (!trustees) return std::nullopt;
  SocketAccess access;
  for (const std::string& t : *trustees) {
    if (t == "SY") continue;  // the owner: whoever runs the service
    if (t == "BA") {
      access.administrators = true;
    } else if (auto uid = unix_id_from_sid(t, "S-1-22-1-")) {
      access.users.push_back(*uid);
    } else if (auto gid = unix_id_from_sid(t, "S-1-22-2-")) {
      access.groups.push_back(*gid);
    }
  }
  return access;
}

// The binary layout of "system.posix_acl_access" (linux/posix_acl_xattr.h).
constexpr std::uint32_t kAclVersion = 2;
constexpr std::uint16_t kAclUserObj = 0x01, kAclUser = 0x02, kAclGroupObj = 0x04, kAclGroup = 0x08,
                        kAclMask = 0x10, kAclOther = 0x20;
constexpr std::uint16_t kRw = 0x6;

void put_entry(std::string& out, std::uint16_t tag, std::uint16_t perm, std::uint32_t id) {
  const auto put16 = [&](std::uint16_t v) { out.push_back(char(v & 0xFF)), out.push_back(char(v >> 8)); };
  put16(tag);
  put16(perm);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((id >> (8 * i)) & 0xFF));
}

// Entries in the order the kernel demands: by tag, then by id.
std::string acl_xattr(const SocketAccess& a, bool group_rw) {
  std::vector<std::uint32_t> users = a.users, groups = a.groups;
  std::sort(users.begin(), users.end());
  users.erase(std::unique(users.begin(), users.end()), users.end());
  std::sort(groups.begin(), groups.end());
  groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((kAclVersion >> (8 * i)) & 0xFF));
  constexpr std::uint32_t kUndefined = 0xFFFFFFFFu;
  put_entry(out, kAclUserObj, kRw, kUndefined);
  for (std::uint32_t u : users) put_entry(out, kAclUser, kRw, u);
  put_entry(out, kAclGroupObj, group_rw ? kRw : 0, kUndefined);
  for (std::uint32_t g : groups) put_entry(out, kAclGroup, kRw, g);
  put_entry(out, kAclMask, kRw, kUndefined);
  put_entry(out, kAclOther, 0, kUndefined);
  return out;
}

void apply_access(const std::string& path, const SocketAccess& access) {
  bool group_root = false;
  if (access.administrators) group_root = ::chown(path.c_str(), ::geteuid(), 0) == 0;
  ::chmod(path.c_str(), group_root ? 0660 : 0600);
  if (!access.users.empty() || !access.groups.empty()) {
    // Without ACL support the extra trustee simply gets no access; the base stays.
    const std::string acl = acl_xattr(access, group_root);
    ::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0);
  } else {
    ::removexattr(path.c_str(), "system.posix_acl_access");
  }
}

bool fill_address(const std::string& path, sockaddr_un& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
  std::memcpy(addr.sun_path, path.data(), path.size());
  return true;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

struct PipeServer::Backend {
  int lock_fd = -1;
  int listen_fd = -1;
  dev_t dev = 0;
  ino_t ino = 0;
  std::string applied_descriptor;

  ~Backend() {
    close_fd(listen_fd);
    close_fd(lock_fd);
  }

  bool still_ours(const std::string& path) const {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev && st.st_ino == ino;
  }

  Status listen_at(const std::string& path, const SocketAccess& access, std::string_view descriptor) {
    sockaddr_un addr;
    if (!fill_address(path, addr)) return fail("pipe_create_failed");
    if (auto parent = parent_directory(path)) create_directories(*parent);
    if (lock_fd < 0) {
      // One live server per pipe path: a second service instance must not steal the
      // socket file from the first. The lock dies with its holder.
      const std::string lock_path = path + ".lock";
      lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (lock_fd < 0) return fail("pipe_create_failed");
      if (::flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        close_fd(lock_fd);
        return fail(err == EWOULDBLOCK ? kPipeNameTaken : std::string_view("pipe_create_failed"));
      }
    }
    ::unlink(path.c_str());  // a socket file left by an earlier run
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("pipe_create_failed");
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return fail("pipe_create_failed");
    }
    // Access is settled before listen(): until then a connect is refused, so no
    // client can slip in under the umask's permissions.
    apply_access(path, access);
    struct stat st {};
    if (::listen(fd, SOMAXCONN) != 0 || ::lstat(path.c_str(), &st) != 0) {
      ::close(fd);
      ::unlink(path.c_str());
      return fail("pipe_create_failed");
    }
    listen_fd = fd;
    dev = st.st_dev;
    ino = st.st_ino;
    applied_descriptor = std::string(descriptor);
    return {};
  }
};

PipeServer::PipeServer(std::string path) : path_(std::move(path)), backend_(std::make_unique<Backend>()) {}

PipeServer::~PipeServer() {
  if (backend_->listen_fd >= 0 && backend_->still_ours(path_)) ::unlink(path_.c_str());
}

// The kind needs nothing here: the lock beside the socket is what keeps the name ours.
Result<PipeInstance> PipeServer::create_instance(std::string_view descriptor, InstanceKind /*kind*/) {
  const auto access = map_descriptor(descriptor);
  if (!access) return fail("pipe_acl_failed");
  Backend& b = *backend_;
  if (b.listen_fd >= 0 && !b.still_ours(path_)) close_fd(b.listen_fd);  // the socket file was removed or replaced
  if (b.listen_fd < 0) {
    if (auto s = b.listen_at(path_, *access, descriptor); !s) return std::unexpected(s.error());
  } else if (b.applied_descriptor != descriptor) {
    apply_access(path_, *access);
    b.applied_descriptor = std::string(descriptor);
  }
  PipeInstance instance;
  instance.listener_ = b.listen_fd;
  return instance;
}

PipeInstance::PipeInstance(PipeInstance&& o) noexcept
    : read_deadline_(o.read_deadline_),
      write_deadline_(o.write_deadline_),
      connected_at_(o.connected_at_),
      handle_(std::exchange(o.handle_, -1)),
      listener_(std::exchange(o.listener_, -1)) {}

PipeInstance& PipeInstance::operator=(PipeInstance&& o) noexcept {
  if (this != &o) {
    if (handle_ >= 0) ::close(handle_);
    read_deadline_ = o.read_deadline_;
    write_deadline_ = o.write_deadline_;
    connected_at_ = o.connected_at_;
    handle_ = std::exchange(o.handle_, -1);
    listener_ = std::exchange(o.listener_, -1);
  }
  return *this;
}

PipeInstance::~PipeInstance() {
  if (handle_ >= 0) ::close(handle_);
}

bool PipeInstance::valid() const { return handle_ >= 0 || listener_ >= 0; }

Status PipeInstance::wait_for_client() {
  if (listener_ < 0) return fail("pipe_connect_failed");
  for (;;) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      handle_ = fd;
      connected_at_ = MonoClock::now();
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) return fail("pipe_create_failed");
    return fail("pipe_connect_failed");
  }
}

namespace {

// Waits until the socket is ready for `events` or the deadline passes: true when
// ready (or in error: the call that follows reports it).
bool ready_by(int fd, short events, MonoTime deadline) {
  for (;;) {
    int timeout_ms = -1;
    if (deadline != MonoTime::max()) {
      const auto left = deadline - MonoClock::now();
      if (left <= Duration::zero()) return false;
      // Rounded up: a wait that wakes a little early simply waits again.
      timeout_ms = static_cast<int>(std::min<std::int64_t>(
          std::chrono::ceil<std::chrono::milliseconds>(left).count(), 60'000));
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, timeout_ms);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return true;
  }
}

}  // namespace

// The socket stays blocking (its flags are shared with nobody, but a blocking call
// after poll could still wait for more room than there is); every call asks not to
// wait and poll does the waiting, with the deadline.
Result<std::size_t> PipeInstance::read_some(char* data, std::size_t size) {
  if (handle_ < 0) return fail("pipe_read_failed");
  for (;;) {
    if (!ready_by(handle_, POLLIN, read_deadline_)) return fail("pipe_read_failed");
    const ssize_t n = ::recv(handle_, data, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return fail("pipe_read_failed");
  }
}

Result<std::size_t> PipeInstance::write_some(const char* data, std::size_t size) {
  if (handle_ < 0) return fail("pipe_write_failed");
  for (;;) {
    if (!ready_by(handle_, POLLOUT, write_deadline_)) return fail("pipe_write_failed");
    // MSG_NOSIGNAL: a client that went away must cost us an error, not SIGPIPE.
    const ssize_t n = ::send(handle_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return fail("pipe_write_failed");
  }
}

Result<std::string> PipeInstance::client_image_path() {
  if (handle_ < 0) return fail("client_identity_unverified");
  struct ucred cred {};
  socklen_t len = sizeof cred;
  if (::getsockopt(handle_, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0)
    return fail("client_identity_unverified");
  const std::string link = "/proc/" + std::to_string(cred.pid) + "/exe";
  std::string buf(4096, '\0');
  for (;;) {
    const ssize_t n = ::readlink(link.c_str(), buf.data(), buf.size());
    if (n <= 0) return fail("client_identity_unverified");
    if (static_cast<std::size_t>(n) < buf.size()) {
      buf.resize(static_cast<std::size_t>(n));
      return buf;
    }
    if (buf.size() >= 65536) return fail("client_identity_unverified");
    buf.resize(buf.size() * 2);
  }
}

void PipeInstance::flush_disconnect() noexcept {
  // Sent bytes already sit in the peer's receive queue: nothing to flush.
  if (handle_ >= 0) {
    ::shutdown(handle_, SHUT_RDWR);
    ::close(handle_);
  }
  handle_ = -1;
  read_deadline_ = write_deadline_ = MonoTime::max();
}

void PipeInstance::flush_disconnect_close() noexcept {
  flush_disconnect();
  listener_ = -1;
}

}  // namespace brenmoor::platform
