#include "engine/assets.h"

#include "platform/dir.h"
#include "platform/paths.h"
#include "platform/process_info.h"

namespace brenmoor {
namespace {

constexpr std::string_view kEngineName = "engine.exe";
constexpr std::string_view kEnginePrefix = "engine-";
constexpr std::string_view kEngineSuffix = ".exe";

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

bool is_engine_file_name(std::string_view name) {
  if (equals_ignoring_ascii_case(name, kEngineName)) return true;
  // Prefix and suffix must not share bytes: "engine-.exe" (11 bytes) is the shortest.
  return name.size() >= kEnginePrefix.size() + kEngineSuffix.size() && name.starts_with(kEnginePrefix) &&
         name.ends_with(kEngineSuffix);
}

Result<ServiceAssets> discover_service_assets() {
  auto exe = platform::current_executable_path();
  if (!exe) return fail("service_path_unavailable");
  return discover_service_assets_at(*exe);
}

Result<ServiceAssets> discover_service_assets_at(std::string_view executable_path) {
  auto parent = platform::parent_directory(executable_path);
  if (!parent) return fail("service_parent_unavailable");
  auto dir = platform::canonical_path(*parent);
  if (!dir) return fail("service_parent_unavailable");

  auto entries = platform::list_directory(*dir);
  if (!entries) return fail("service_dir_unavailable");

  // First match in the platform's listing order; whether it is a regular file is
  // deliberately not examined (the launch reports a bad one).
  const platform::DirEntryName* engine = nullptr;
  for (const auto& entry : *entries) {
    if (entry.valid_unicode && is_engine_file_name(entry.name)) {
      engine = &entry;
      break;
    }
  }
  if (engine == nullptr) return fail("engine_path_invalid");

  ServiceAssets assets;
  assets.engine_path = platform::join_path(*dir, engine->name);
  assets.geodata_dir = platform::join_path(*dir, "geodata");
  assets.wintun_path = platform::join_path(*dir, "wintun.dll");
  if (!platform::is_regular_file(assets.wintun_path) ||
      !platform::is_regular_file(platform::join_path(assets.geodata_dir, "geoip.dat")) ||
      !platform::is_regular_file(platform::join_path(assets.geodata_dir, "geosite.dat"))) {
    return fail("service_assets_invalid");
  }
  return assets;
}

}  // namespace brenmoor
