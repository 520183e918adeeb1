#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
// The service manager on the dev host is anything that speaks the systemd notify
// protocol (systemd itself, or tools/ctl's brenmoor-supervise).
#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/env.h"
#include "platform/service_host.h"
#include "platform/signals.h"

namespace brenmoor::platform {
namespace {

Status send_notify(const std::string& socket_path, const std::string& message) {
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (socket_path.empty() || socket_path.size() >= sizeof addr.sun_path) return fail("notify_failed:address");
  std::memcpy(addr.sun_path, socket_path.data(), socket_path.size());
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_path.size());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail("notify_failed:" + std::to_string(errno));
  ssize_t n;
  do {
    n = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), len);
  } while (n < 0 && errno == EINTR);
  const int err = errno;
  ::close(fd);
  if (n < 0) return fail("notify_failed:" + std::to_string(err));
  return {};
}

class NotifyLink final : public ServiceManagerLink {
 public:
  explicit NotifyLink(std::string socket_path) : socket_path_(std::move(socket_path)) {}

  Status register_control_handler(ServiceControlHandler handler) override {
    auto shared = std::make_shared<ServiceControlHandler>(std::move(handler));
    try {
      // Stop and interrupt both mean SERVICE_CONTROL_STOP. The thread lives until
      // the process ends, like the manager's handler thread on Windows.
      std::thread([shared] {
        for (;;) {
          if (wait_stop_signal() < 0) return;
          (*shared)(kControlStop);
        }
      }).detach();
    } catch (const std::system_error&) {
      return fail("control_handler_registration_failed:thread");
    }
    return {};
  }

  Status report_status(const ServiceStatusRecord& status) override {
    auto sent = send_notify(socket_path_, notify_message(status));
    if (sent && status.current_state == kServiceStopped)
      (status.win32_exit_code == 0 && status.service_exit_code == 0 ? stopped_ : failed_).store(true);
    return sent;
  }

  bool stopped() const { return stopped_.load(); }
  bool failed() const { return failed_.load(); }

 private:
  std::string socket_path_;
  std::atomic<bool> stopped_{false};
  std::atomic<bool> failed_{false};
};

}  // namespace

Status run_service_dispatcher(std::string_view /*name*/, const std::function<void(ServiceManagerLink&)>& service_main) {
  auto socket_path = get_env("NOTIFY_SOCKET");
  if (!socket_path || socket_path->empty()) return fail("service_dispatcher_failed:notify_socket_unset");
  // Before any thread exists, so that every thread inherits the blocked set and
  // only the control handler's sigwait ever takes SIGTERM or SIGINT.
  if (!block_stop_signals()) return fail("service_dispatcher_failed:signal_mask");

  NotifyLink link(*socket_path);
  try {
    std::thread service_thread([&] { service_main(link); });
    service_thread.join();
  } catch (const std::system_error&) {
    return fail("service_dispatcher_failed:thread");
  }
  // The Windows dispatcher returns only once the service reported SERVICE_STOPPED;
  // a service that gave up before that must not look like a clean stop.
  if (link.failed()) return fail("service_dispatcher_failed:service_failed");
  if (!link.stopped()) return fail("service_dispatcher_failed:service_not_stopped");
  return {};
}

}  // namespace brenmoor::platform
