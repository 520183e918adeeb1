// Asset lookup behaviour that needs POSIX file-system features: symbolic links,
// file names that are not UTF-8, a regular file whose read fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "engine/assets.h"
#include "engine/validate_start.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

fs::path complete_service_dir(const std::string& tag) {
  const fs::path dir = test::make_temp_dir(tag);
  write_file(dir / "brenmoor-service", "exe");
  write_file(dir / "engine.exe", "engine");
  write_file(dir / "wintun.dll", "wintun");
  write_file(dir / "geodata" / "geoip.dat", "ip");
  write_file(dir / "geodata" / "geosite.dat", "site");
  return dir;
}

TEST(ServiceAssetsPosix, FolderReachedThroughALinkIsCanonicalised) {
  const fs::path real = complete_service_dir("assets-real");
  const fs::path link = fs::path(test::make_temp_dir("assets-link")) / "service";
  fs::create_directory_symlink(real, link);
  auto assets = discover_service_assets_at((link / "brenmoor-service").string());
  ASSERT_TRUE(assets.has_value()) << assets.error();
  EXPECT_EQ(assets->engine_path, (fs::canonical(real) / "engine.exe").string());
  EXPECT_EQ(assets->wintun_path, (fs::canonical(real) / "wintun.dll").string());
}

TEST(ServiceAssetsPosix, AssetLinksAreFollowed) {
  const fs::path dir = complete_service_dir("assets-links");
  const fs::path store = test::make_temp_dir("assets-store");
  write_file(store / "wintun.dll", "wintun");
  fs::remove(dir / "wintun.dll");
  fs::create_symlink(store / "wintun.dll", dir / "wintun.dll");
  fs::rename(dir / "geodata", store / "geodata");
  fs::create_directory_symlink(store / "geodata", dir / "geodata");
  auto ok = discover_service_assets_at((dir / "brenmoor-service").string());
  ASSERT_TRUE(ok.has_value()) << ok.error();

  // A link whose target is gone is not a regular file.
  fs::remove(store / "geodata" / "geosite.dat");
  auto dangling_target = discover_service_assets_at((dir / "brenmoor-service").string());
  ASSERT_FALSE(dangling_target.has_value());
  EXPECT_EQ(dangling_target.error(), "service_assets_invalid");
}

TEST(ServiceAssetsPosix, NamesThatAreNotUtf8AreSkipped) {
  const fs::path dir = complete_service_dir("assets-bytes");
  fs::remove(dir / "engine.exe");
  write_file(dir / std::string("engine-\xff.exe"), "engine");
  write_file(dir / std::string("ENGINE\xc0.EXE"), "engine");
  auto none = discover_service_assets_at((dir / "brenmoor-service").string());
  ASSERT_FALSE(none.has_value()) << none->engine_path;
  EXPECT_EQ(none.error(), "engine_path_invalid");

  write_file(dir / "engine-\xc3\xa9.exe", "engine");  // "engine-é.exe", valid UTF-8
  auto chosen = discover_service_assets_at((dir / "brenmoor-service").string());
  ASSERT_TRUE(chosen.has_value()) << chosen.error();
  EXPECT_EQ(chosen->engine_path, (fs::canonical(dir) / "engine-\xc3\xa9.exe").string());
}

// /proc/self/mem is a regular file whose read from offset 0 fails (nothing is
// mapped there), which makes "present but unreadable" reproducible even as root.
TEST(ServiceAssetsPosix, UnreadableWintunIsMissing) {
  if (!fs::exists("/proc/self/mem")) GTEST_SKIP() << "no procfs";
  const fs::path dir = complete_service_dir("assets-unreadable");
  fs::remove(dir / "wintun.dll");
  fs::create_symlink("/proc/self/mem", dir / "wintun.dll");
  ServiceRequest request;
  request.config_json = test::read_file(test::source_dir() + "/samples/config.json");
  request.server_address = "vpn.example.net";
  auto r = validate_start_request_at(request, (dir / "brenmoor-service").string(), expected_wintun_sha256());
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "wintun_missing");
}

}  // namespace
}  // namespace brenmoor
