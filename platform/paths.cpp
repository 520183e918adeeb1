#include "platform/paths.h"

#include "platform/env.h"

namespace brenmoor::platform {

std::string host_root() {
#ifdef _WIN32
  return {};
#else
  auto root = get_env("BRENMOOR_HOST_ROOT");
  if (!root || root->empty()) return "/tmp/brenmoor-host";
  return *root;
#endif
}

std::string program_data_dir() {
#ifdef _WIN32
  return "C:\\ProgramData\\Pellamy";
#else
  return host_root() + "/ProgramData/Pellamy";
#endif
}

std::string control_pipe_path() {
#ifdef _WIN32
  return "\\\\.\\pipe\\brenmoor-full-device";
#else
  return host_root() + "/pipe/brenmoor-full-device";
#endif
}

std::string join_path(std::string_view a, std::string_view b) {
  std::string out(a);
  if (!out.empty() && out.back() != kPathSeparator && out.back() != '/') out.push_back(kPathSeparator);
  out.append(b);
  return out;
}

std::optional<std::string> parent_directory(std::string_view path) {
#ifdef _WIN32
  const std::size_t pos = path.find_last_of("\\/");
#else
  const std::size_t pos = path.find_last_of('/');
#endif
  if (pos == std::string_view::npos) return std::nullopt;
  std::string_view parent = path.substr(0, pos);
  if (parent.empty() || (parent.size() == 2 && parent[1] == ':')) parent = path.substr(0, pos + 1);
  return std::string(parent);
}

}  // namespace brenmoor::platform
