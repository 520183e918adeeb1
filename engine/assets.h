// The files the service needs next to its own executable: the engine, wintun.dll
// and the geodata folder. Every path is derived from the running executable's
// folder; nothing the client sends takes part.
#pragma once

#include <string>
#include <string_view>

#include "common/error.h"

namespace brenmoor {

// Absolute UTF-8 paths, each the canonical service folder joined with a name. On
// Windows they carry the "\\?\" form of the canonical folder, and so must every
// path derived from them.
struct ServiceAssets {
  std::string engine_path;  // the chosen "engine.exe" / "engine-*.exe"
  std::string geodata_dir;  // {folder}/geodata, holding geoip.dat and geosite.dat
  std::string wintun_path;  // {folder}/wintun.dll
};

// Locates the assets beside the running executable. Reads the file system afresh
// on every call (no cache). Errors: "service_path_unavailable",
// "service_parent_unavailable", "service_dir_unavailable", "engine_path_invalid",
// "service_assets_invalid".
[[nodiscard]] Result<ServiceAssets> discover_service_assets();

// The same lookup for an executable at the given path (tests place one in a
// scratch folder); discover_service_assets passes the running executable's path.
[[nodiscard]] Result<ServiceAssets> discover_service_assets_at(std::string_view executable_path);

// True for an engine executable's file name: "engine.exe" in any ASCII letter
// case, or "engine-*.exe" with exactly that case.
bool is_engine_file_name(std::string_view name);

}  // namespace brenmoor
