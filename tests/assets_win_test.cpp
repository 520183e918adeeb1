// Asset lookup behaviour that needs Windows file-system features: the final-path
// form of the service folder, and a wintun.dll another process holds exclusively.
#include <windows.h>

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

std::string complete_service_dir(const std::string& tag) {
  const std::string dir = test::make_temp_dir(tag);
  const fs::path d = fs::u8path(dir);
  write_file(d / "brenmoor-service.exe", "exe");
  write_file(d / "engine.exe", "engine");
  write_file(d / "wintun.dll", "wintun");
  write_file(d / "geodata" / "geoip.dat", "ip");
  write_file(d / "geodata" / "geosite.dat", "site");
  return dir;
}

TEST(ServiceAssetsWin, SpellingsOfTheFolderGiveOneExtendedLengthPath) {
  const std::string dir = complete_service_dir("assets-final");
  auto plain = discover_service_assets_at(dir + "\\brenmoor-service.exe");
  ASSERT_TRUE(plain.has_value()) << plain.error();
  EXPECT_TRUE(plain->engine_path.starts_with("\\\\?\\")) << plain->engine_path;
  EXPECT_TRUE(plain->geodata_dir.starts_with("\\\\?\\")) << plain->geodata_dir;
  EXPECT_TRUE(plain->wintun_path.starts_with("\\\\?\\")) << plain->wintun_path;
  EXPECT_EQ(plain->engine_path.find('/'), std::string::npos) << plain->engine_path;

  // Forward slashes and a ".." step name the same folder.
  std::string slashed = dir + "\\geodata\\..\\brenmoor-service.exe";
  for (char& c : slashed) {
    if (c == '\\') c = '/';
  }
  auto other = discover_service_assets_at(slashed);
  ASSERT_TRUE(other.has_value()) << other.error();
  EXPECT_EQ(other->engine_path, plain->engine_path);
  EXPECT_EQ(other->wintun_path, plain->wintun_path);

  // The extended-length form itself is accepted as input again.
  auto again = discover_service_assets_at(plain->engine_path);
  ASSERT_TRUE(again.has_value()) << again.error();
  EXPECT_EQ(again->wintun_path, plain->wintun_path);
}

TEST(ServiceAssetsWin, WintunHeldWithoutSharingIsMissing) {
  const std::string dir = complete_service_dir("assets-locked");
  const std::wstring wintun = (fs::u8path(dir) / "wintun.dll").wstring();
  HANDLE held = CreateFileW(wintun.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ServiceRequest request;
  request.config_json = test::read_file(test::source_dir() + "/samples/config.json");
  request.server_address = "vpn.example.net";
  auto r = validate_start_request_at(request, dir + "\\brenmoor-service.exe", expected_wintun_sha256());
  CloseHandle(held);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "wintun_missing");
}

}  // namespace
}  // namespace brenmoor
