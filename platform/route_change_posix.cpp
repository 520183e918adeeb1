#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/env.h"
#include "platform/route_change.h"

namespace brenmoor::platform {

struct RouteChangeWatch::Impl {
  int inotify = -1;
  int wake[2] = {-1, -1};  // written to once, to end the thread
  std::string name;         // the state file's name in the watched folder
  std::function<void()> on_change;
  std::thread thread;

  ~Impl() {
    if (thread.joinable()) {
      const char byte = 1;
      while (::write(wake[1], &byte, 1) < 0 && errno == EINTR) {
      }
      thread.join();
    }
    for (int fd : {inotify, wake[0], wake[1]}) {
      if (fd >= 0) ::close(fd);
    }
  }

  // One event buffer: the state file's name replaced, written or created there.
  bool concerns_state_file(const char* buffer, ssize_t length) const {
    bool hit = false;
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
      inotify_event event;
      std::memcpy(&event, buffer + at, sizeof event);
      const char* event_name = buffer + at + sizeof(inotify_event);
      if (event.len > 0 && name == event_name) hit = true;
      if ((event.mask & IN_Q_OVERFLOW) != 0) hit = true;  // events lost: assume ours among them
      at += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
    }
    return hit;
  }

  void run() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      pollfd fds[2] = {{inotify, POLLIN, 0}, {wake[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      if ((fds[0].revents & POLLIN) == 0) {
        if (fds[0].revents != 0) return;
        continue;
      }
      const ssize_t n = ::read(inotify, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) return;
      if (concerns_state_file(buffer, n)) on_change();
    }
  }
};

RouteChangeWatch::RouteChangeWatch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RouteChangeWatch::~RouteChangeWatch() = default;
RouteChangeWatch::RouteChangeWatch(RouteChangeWatch&&) noexcept = default;
RouteChangeWatch& RouteChangeWatch::operator=(RouteChangeWatch&&) noexcept = default;

RouteChangeWatch RouteChangeWatch::start(std::function<void()> on_change) {
  const auto path = get_env("BRENMOOR_NETSIM");
  if (!path || path->empty() || !on_change) return {};
  const std::size_t slash = path->rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path->substr(0, slash));
  auto impl = std::make_unique<Impl>();
  impl->name = slash == std::string::npos ? *path : path->substr(slash + 1);
  impl->on_change = std::move(on_change);
  impl->inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (impl->inotify < 0 || ::pipe2(impl->wake, O_CLOEXEC) != 0) return {};
  if (::inotify_add_watch(impl->inotify, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE | IN_CREATE) < 0) return {};
  try {
    impl->thread = std::thread([raw = impl.get()] { raw->run(); });
  } catch (const std::system_error&) {
    return {};
  }
  return RouteChangeWatch(std::move(impl));
}

}  // namespace brenmoor::platform
