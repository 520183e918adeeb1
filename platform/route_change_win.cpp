#ifndef _WIN32
#error "Windows backend built on another platform"
#endif
#include "platform/route_change_win.h"

#include <netioapi.h>

#include "platform/route_change.h"

namespace brenmoor::platform {

struct RouteChangeWatch::Impl {
  std::function<void()> on_change;
  HANDLE routes = nullptr;
  HANDLE interfaces = nullptr;

  ~Impl() {
    // Cancelling waits for a callback in progress; only handles the system gave.
    for (HANDLE h : {routes, interfaces}) {
      if (h != nullptr) (void)CancelMibChangeNotify2(h);
    }
  }

  static VOID NETIOAPI_API_ on_route(PVOID context, PMIB_IPFORWARD_ROW2, MIB_NOTIFICATION_TYPE) {
    static_cast<Impl*>(context)->on_change();
  }
  static VOID NETIOAPI_API_ on_interface(PVOID context, PMIB_IPINTERFACE_ROW, MIB_NOTIFICATION_TYPE) {
    static_cast<Impl*>(context)->on_change();
  }
};

HANDLE notification_handle_from_result(DWORD status, HANDLE handle) {
  return status == NO_ERROR ? handle : nullptr;
}

RouteChangeWatch::RouteChangeWatch(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RouteChangeWatch::~RouteChangeWatch() = default;
RouteChangeWatch::RouteChangeWatch(RouteChangeWatch&&) noexcept = default;
RouteChangeWatch& RouteChangeWatch::operator=(RouteChangeWatch&&) noexcept = default;

RouteChangeWatch RouteChangeWatch::start(std::function<void()> on_change) {
  if (!on_change) return {};
  auto impl = std::make_unique<Impl>();
  impl->on_change = std::move(on_change);
  // AF_UNSPEC: IPv4 and IPv6 alike. A route change covers a new gateway; an
  // interface change covers a link coming up before its routes are in place.
  HANDLE routes = nullptr;
  const DWORD route_status = NotifyRouteChange2(AF_UNSPEC, &Impl::on_route, impl.get(), FALSE, &routes);
  impl->routes = notification_handle_from_result(route_status, routes);
  HANDLE interfaces = nullptr;
  const DWORD interface_status =
      NotifyIpInterfaceChange(AF_UNSPEC, &Impl::on_interface, impl.get(), FALSE, &interfaces);
  impl->interfaces = notification_handle_from_result(interface_status, interfaces);
  if (impl->routes == nullptr && impl->interfaces == nullptr) return {};
  return RouteChangeWatch(std::move(impl));
}

}  // namespace brenmoor::platform
