// Notification of changes of the system's routes and interfaces, so that the bypass
// guard follows a new network at once instead of at its next full check.
//
// Windows: NotifyRouteChange2 and NotifyIpInterfaceChange, both for IPv4 and IPv6;
// the callback runs on a system thread. A registration that reports success but
// hands back no handle (Wine 8's stubs do: they never call back) counts as none;
// no handle is ever cancelled that was not handed back. Dev host: a change of
// netsim's state file named by $BRENMOOR_NETSIM (inotify on its folder, since netsim
// replaces the file by rename); the callback runs on the watch's own thread.
//
// The callback may run on any thread, several times for one change, and must not
// block; it never runs after the watch was destroyed or moved from.
#pragma once

#include <functional>
#include <memory>

namespace brenmoor::platform {

class RouteChangeWatch {
 public:
  RouteChangeWatch() = default;  // no notifications
  ~RouteChangeWatch();
  RouteChangeWatch(RouteChangeWatch&&) noexcept;
  RouteChangeWatch& operator=(RouteChangeWatch&&) noexcept;
  RouteChangeWatch(const RouteChangeWatch&) = delete;
  RouteChangeWatch& operator=(const RouteChangeWatch&) = delete;

  // Registers `on_change`; a watch without notifications when the system offers none
  // or the registration fails (the caller then works without them).
  static RouteChangeWatch start(std::function<void()> on_change);

  // Whether any notification can arrive.
  bool active() const { return impl_ != nullptr; }

  struct Impl;

 private:
  explicit RouteChangeWatch(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace brenmoor::platform
