#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/pipe_client.h"

namespace brenmoor::platform {

PipeClient::PipeClient(PipeClient&& o) noexcept : handle_(std::exchange(o.handle_, -1)) {}

PipeClient& PipeClient::operator=(PipeClient&& o) noexcept {
  if (this != &o) {
    close();
    handle_ = std::exchange(o.handle_, -1);
  }
  return *this;
}

PipeClient::~PipeClient() { close(); }

void PipeClient::close() noexcept {
  if (handle_ >= 0) ::close(handle_);
  handle_ = -1;
}

bool PipeClient::close_write() { return handle_ >= 0 && ::shutdown(handle_, SHUT_WR) == 0; }

Result<std::size_t> PipeClient::read_some(char* data, std::size_t size) {
  if (handle_ < 0) return fail("pipe_read_failed");
  for (;;) {
    const ssize_t n = ::recv(handle_, data, size, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail("pipe_read_failed");
  }
}

Result<std::size_t> PipeClient::write_some(const char* data, std::size_t size) {
  if (handle_ < 0) return fail("pipe_write_failed");
  for (;;) {
    const ssize_t n = ::send(handle_, data, size, MSG_NOSIGNAL);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return fail("pipe_write_failed");
  }
}

namespace {
Result<PipeClient> connect_once(const std::string& path);
}  // namespace

Result<PipeClient> open_pipe_client(const std::string& path, Duration busy_wait) {
  // A blocking connect to a Unix socket waits by itself while the listen queue is
  // full, so "busy" needs no handling. A missing socket is retried for a while (a
  // service that has just reported running may not be listening yet); it usually
  // means no service at all.
  const auto deadline = std::chrono::steady_clock::now() + std::min<Duration>(busy_wait, kPipeNotFoundRetry);
  for (;;) {
    auto client = connect_once(path);
    if (client || client.error() != kPipeNotFound || std::chrono::steady_clock::now() >= deadline) return client;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

namespace {
Result<PipeClient> connect_once(const std::string& path) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return fail(kPipeOpenFailed);
  std::memcpy(addr.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(kPipeOpenFailed);
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) break;
    if (errno == EINTR) continue;  // the connect carries on; the next call reports it
    if (errno == EISCONN) break;
    const int err = errno;
    ::close(fd);
    if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR) return fail(kPipeNotFound);
    if (err == EACCES || err == EPERM) return fail(kPipeAccessDenied);
    return fail(kPipeOpenFailed);
  }
  return PipeClient::adopt(fd);
}
}  // namespace

}  // namespace brenmoor::platform
