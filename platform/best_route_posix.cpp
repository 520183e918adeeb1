#ifdef _WIN32
#error "POSIX backend built for Windows"
#endif
#include <errno.h>
#include <signal.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/best_route.h"
#include "platform/env.h"
#include "platform/route_choice.h"

namespace brenmoor::platform {
namespace {

// An engine adapter disappears with its owner, as a Wintun adapter does; netsim
// prunes it on its next load, the service must not wait for that. A zombie has
// ended for every purpose but its parent's bookkeeping.
bool owner_alive(long pid) {
  if (pid <= 0) return true;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() || line[close + 2] != 'Z';
}

}  // namespace

std::optional<BestRoute> best_route(const IpAddress& destination) {
  const auto path = get_env("BRENMOOR_NETSIM");
  if (!path || path->empty()) return std::nullopt;
  std::ifstream in(*path, std::ios::binary);
  if (!in) return std::nullopt;
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto table = parse_route_table_json(text);
  if (!table) return std::nullopt;
  std::erase_if(table->interfaces, [](const RouteTableInterface& i) { return !owner_alive(i.owner_pid); });
  return choose_best_route(*table, destination);
}

}  // namespace brenmoor::platform
