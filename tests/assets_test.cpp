#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/assets.h"
#include "engine/validate_start.h"
#include "platform/dir.h"
#include "platform/paths.h"
#include "platform/process_info.h"
#include "support/test_support.h"

namespace brenmoor {
namespace {

namespace fs = std::filesystem;

const std::string kWintunBytes = "stand-in wintun.dll bytes\n";
// SHA-256 of kWintunBytes.
const std::string kWintunDigest = "b6e4afab249d8726758a1c746d4a07b8ffb8fa119c5b34668a841fe3eee68740";

void write_file(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

fs::path u8(const std::string& s) { return fs::u8path(s); }

// A scratch service folder: the executable, the named entries ("x/" makes a folder).
std::string service_dir(const std::string& tag, const std::vector<std::string>& entries) {
  const std::string dir = test::make_temp_dir(tag);
  write_file(u8(dir) / "brenmoor-service.exe", "exe");
  for (const auto& e : entries) {
    if (e.ends_with('/')) {
      fs::create_directories(u8(dir) / u8(e));
    } else {
      write_file(u8(dir) / u8(e), e == "wintun.dll" ? kWintunBytes : "x");
    }
  }
  return dir;
}

const std::vector<std::string> kAssets = {"wintun.dll", "geodata/geoip.dat", "geodata/geosite.dat"};

std::vector<std::string> with_assets(std::vector<std::string> entries) {
  entries.insert(entries.end(), kAssets.begin(), kAssets.end());
  return entries;
}

std::string exe_in(const std::string& dir) { return platform::join_path(dir, "brenmoor-service.exe"); }

// The folder as discover_service_assets must report it: the platform's final path.
std::string canonical_form(const std::string& dir) {
#ifdef _WIN32
  return "\\\\?\\" + fs::canonical(u8(dir)).string();
#else
  return fs::canonical(u8(dir)).string();
#endif
}

TEST(ServiceAssets, CompleteFolderGivesCanonicalPaths) {
  const std::string dir = service_dir("assets-ok", with_assets({"engine.exe"}));
  auto assets = discover_service_assets_at(exe_in(dir));
  ASSERT_TRUE(assets.has_value()) << assets.error();
  const std::string root = canonical_form(dir);
  EXPECT_EQ(assets->engine_path, platform::join_path(root, "engine.exe"));
  EXPECT_EQ(assets->geodata_dir, platform::join_path(root, "geodata"));
  EXPECT_EQ(assets->wintun_path, platform::join_path(root, "wintun.dll"));
#ifdef _WIN32
  EXPECT_TRUE(assets->engine_path.starts_with("\\\\?\\")) << assets->engine_path;
#endif
}

struct EngineCase {
  const char* name;
  std::vector<std::string> entries;
  std::string expected;  // the chosen file name, or the error code
};

void PrintTo(const EngineCase& c, std::ostream* os) { *os << c.name; }

class EngineNames : public testing::TestWithParam<EngineCase> {};

TEST_P(EngineNames, ChoosesOrRefuses) {
  const EngineCase& c = GetParam();
  const std::string dir = service_dir("engine-name", with_assets(c.entries));
  auto assets = discover_service_assets_at(exe_in(dir));
  if (c.expected == "engine_path_invalid") {
    ASSERT_FALSE(assets.has_value()) << assets->engine_path;
    EXPECT_EQ(assets.error(), c.expected);
  } else {
    ASSERT_TRUE(assets.has_value()) << assets.error();
    EXPECT_EQ(assets->engine_path, platform::join_path(canonical_form(dir), c.expected));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Assets, EngineNames,
    testing::Values(
        EngineCase{"plain", {"engine.exe"}, "engine.exe"},
        EngineCase{"upper_case", {"ENGINE.EXE"}, "ENGINE.EXE"},
        EngineCase{"mixed_case", {"Engine.eXe"}, "Engine.eXe"},
        EngineCase{"suffixed", {"engine-x86_64.exe"}, "engine-x86_64.exe"},
        EngineCase{"shortest_suffixed", {"engine-.exe"}, "engine-.exe"},
        EngineCase{"suffixed_capital_e", {"Engine-2.exe"}, "engine_path_invalid"},
        EngineCase{"suffixed_upper_extension", {"engine-2.EXE"}, "engine_path_invalid"},
        EngineCase{"near_misses",
                   {"engine.exe.bak", "xengine.exe", "engine.ex", "engine-2.exe.txt", "engine_2.exe", "engine2.exe",
                    "engine"},
                   "engine_path_invalid"},
        EngineCase{"none", {}, "engine_path_invalid"},
        // The entry's kind is not examined: a folder by that name is chosen.
        EngineCase{"folder_named_engine", {"engine.exe/"}, "engine.exe"},
        EngineCase{"near_misses_do_not_hide_a_match", {"Engine-1.exe", "engine.exe.old", "engine-2.exe"}, "engine-2.exe"}),
    [](const auto& info) { return std::string(info.param.name); });

// Both names qualify; the one the platform lists first wins, with no sorting of ours.
TEST(ServiceAssets, FirstQualifyingNameInListingOrder) {
  for (int round = 0; round < 4; ++round) {
    const std::vector<std::string> engines = round % 2 ? std::vector<std::string>{"engine-2.exe", "ENGINE.EXE"}
                                                       : std::vector<std::string>{"ENGINE.EXE", "engine-2.exe"};
    const std::string dir = service_dir("engine-order", with_assets(engines));
    std::string first;
    for (const auto& entry : fs::directory_iterator(u8(dir))) {
      const std::string name = entry.path().filename().string();
      if (name == "ENGINE.EXE" || name == "engine-2.exe") {
        first = name;
        break;
      }
    }
    ASSERT_FALSE(first.empty());
    auto assets = discover_service_assets_at(exe_in(dir));
    ASSERT_TRUE(assets.has_value()) << assets.error();
    EXPECT_EQ(assets->engine_path, platform::join_path(canonical_form(dir), first));
  }
}

struct MissingCase {
  const char* name;
  std::vector<std::string> entries;
};

void PrintTo(const MissingCase& c, std::ostream* os) { *os << c.name; }

class MissingAssets : public testing::TestWithParam<MissingCase> {};

TEST_P(MissingAssets, AreRefused) {
  const std::string dir = service_dir("assets-missing", GetParam().entries);
  auto assets = discover_service_assets_at(exe_in(dir));
  ASSERT_FALSE(assets.has_value());
  EXPECT_EQ(assets.error(), "service_assets_invalid");
}

INSTANTIATE_TEST_SUITE_P(
    Assets, MissingAssets,
    testing::Values(MissingCase{"no_wintun", {"engine.exe", "geodata/geoip.dat", "geodata/geosite.dat"}},
                    MissingCase{"wintun_is_a_folder", {"engine.exe", "wintun.dll/", "geodata/geoip.dat", "geodata/geosite.dat"}},
                    MissingCase{"wintun_other_case_only", {"engine.exe", "WINTUN.DLL.txt", "geodata/geoip.dat", "geodata/geosite.dat"}},
                    MissingCase{"no_geoip", {"engine.exe", "wintun.dll", "geodata/geosite.dat"}},
                    MissingCase{"no_geosite", {"engine.exe", "wintun.dll", "geodata/geoip.dat"}},
                    MissingCase{"geosite_is_a_folder", {"engine.exe", "wintun.dll", "geodata/geoip.dat", "geodata/geosite.dat/"}},
                    MissingCase{"no_geodata", {"engine.exe", "wintun.dll", "geoip.dat", "geosite.dat"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ServiceAssets, ServiceFolderProblems) {
  // No folder part at all.
  auto bare = discover_service_assets_at("brenmoor-service.exe");
  ASSERT_FALSE(bare.has_value());
  EXPECT_EQ(bare.error(), "service_parent_unavailable");

  // A folder that does not exist cannot be canonicalised.
  const std::string dir = test::make_temp_dir("assets-gone");
  auto gone = discover_service_assets_at(exe_in(platform::join_path(dir, "missing")));
  ASSERT_FALSE(gone.has_value());
  EXPECT_EQ(gone.error(), "service_parent_unavailable");

  // The "folder" resolves but is a file: the listing cannot be opened.
  write_file(u8(dir) / "plain-file", "x");
  auto file = discover_service_assets_at(exe_in(platform::join_path(dir, "plain-file")));
  ASSERT_FALSE(file.has_value());
  EXPECT_EQ(file.error(), "service_dir_unavailable");
}

TEST(ServiceAssets, RunningExecutableIsTheDefaultSeam) {
  auto exe = platform::current_executable_path();
  ASSERT_TRUE(exe.has_value());
  auto direct = discover_service_assets();
  auto seam = discover_service_assets_at(*exe);
  ASSERT_EQ(direct.has_value(), seam.has_value());
  if (direct) {
    EXPECT_EQ(direct->engine_path, seam->engine_path);
    EXPECT_EQ(direct->wintun_path, seam->wintun_path);
  } else {
    EXPECT_EQ(direct.error(), seam.error());
  }
}

// --- The digest step.

TEST(Sha256, KnownVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_EQ(sha256_hex(kWintunBytes), kWintunDigest);
}

TEST(WintunDigest, DefaultIsTheRealLibrary) {
  EXPECT_STREQ(BRENMOOR_DEFAULT_WINTUN_SHA256, "e5da8447dc2c320edc0fc52fa01885c103de8c118481f683643cacc3220dafce");
}

TEST(WintunDigest, CompiledInDigestMatchesThisBuild) {
#ifdef BRENMOOR_TEST_WINTUN_FIXTURE
  // Test builds accept the stand-in that the build placed beside the binaries.
  auto bytes = platform::read_whole_file(platform::join_path(test::bin_dir(), "wintun.dll"));
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(expected_wintun_sha256(), sha256_hex(*bytes));
  EXPECT_NE(expected_wintun_sha256(), BRENMOOR_DEFAULT_WINTUN_SHA256);
#else
  EXPECT_EQ(expected_wintun_sha256(), BRENMOOR_DEFAULT_WINTUN_SHA256);
#endif
}

std::string upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

struct DigestCase {
  const char* name;
  std::string expected_digest;
  std::string code;  // empty: accepted
};

void PrintTo(const DigestCase& c, std::ostream* os) { *os << c.name; }

class WintunDigestCompare : public testing::TestWithParam<DigestCase> {};

TEST_P(WintunDigestCompare, IgnoresLetterCaseOnly) {
  const std::string dir = service_dir("digest", {"wintun.dll"});
  auto r = verify_wintun_digest(platform::join_path(dir, "wintun.dll"), GetParam().expected_digest);
  if (GetParam().code.empty()) {
    EXPECT_TRUE(r.has_value()) << r.error();
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), GetParam().code);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Assets, WintunDigestCompare,
    testing::Values(DigestCase{"lower_case", kWintunDigest, ""},
                    DigestCase{"upper_case", upper(kWintunDigest), ""},
                    DigestCase{"last_digit_differs", kWintunDigest.substr(0, 63) + "1", "wintun_digest_mismatch"},
                    DigestCase{"truncated", kWintunDigest.substr(0, 63), "wintun_digest_mismatch"},
                    DigestCase{"longer", kWintunDigest + "0", "wintun_digest_mismatch"},
                    DigestCase{"empty", "", "wintun_digest_mismatch"},
                    DigestCase{"real_library", BRENMOOR_DEFAULT_WINTUN_SHA256, "wintun_digest_mismatch"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WintunDigest, MissingFileCannotBeRead) {
  const std::string dir = test::make_temp_dir("digest-missing");
  auto r = verify_wintun_digest(platform::join_path(dir, "wintun.dll"), kWintunDigest);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "wintun_missing");
}

// --- The whole validation: configuration first, then assets, then the digest.

std::string sample_config() {
  return test::read_file(test::source_dir() + "/samples/config.json");
}

ServiceRequest start_request(std::string config = sample_config()) {
  ServiceRequest r;
  r.version = 1;
  r.command = Command::start;
  r.config_json = std::move(config);
  r.server_address = "vpn.example.net";
  // Ignored by design: the assets are found beside the service, never where the client says.
  r.engine_path = "C:\\elsewhere\\engine.exe";
  r.wintun_path = "C:\\elsewhere\\wintun.dll";
  r.wintun_sha256 = kWintunDigest;
  return r;
}

TEST(ValidateStartRequest, SampleConfigurationIsValid) {
  ASSERT_FALSE(sample_config().empty());
  auto r = check_start_config(sample_config(), "vpn.example.net");
  EXPECT_TRUE(r.has_value()) << r.error();
}

struct FlowCase {
  const char* name;
  std::vector<std::string> entries;
  bool valid_config;
  std::string digest;
  std::string code;  // empty: accepted
};

void PrintTo(const FlowCase& c, std::ostream* os) { *os << c.name; }

class ValidateFlow : public testing::TestWithParam<FlowCase> {};

TEST_P(ValidateFlow, StepsInOrder) {
  const FlowCase& c = GetParam();
  const std::string dir = service_dir("validate", c.entries);
  auto r = validate_start_request_at(start_request(c.valid_config ? sample_config() : "{\"api\":{}}"), exe_in(dir),
                                     c.digest);
  if (c.code.empty()) {
    EXPECT_TRUE(r.has_value()) << r.error();
  } else {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), c.code);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Assets, ValidateFlow,
    testing::Values(FlowCase{"all_good", with_assets({"engine.exe"}), true, kWintunDigest, ""},
                    FlowCase{"digest_in_upper_case", with_assets({"engine.exe"}), true, upper(kWintunDigest), ""},
                    FlowCase{"digest_mismatch", with_assets({"engine.exe"}), true, BRENMOOR_DEFAULT_WINTUN_SHA256, "wintun_digest_mismatch"},
                    FlowCase{"no_engine", kAssets, true, kWintunDigest, "engine_path_invalid"},
                    FlowCase{"no_geosite", {"engine.exe", "wintun.dll", "geodata/geoip.dat"}, true, kWintunDigest, "service_assets_invalid"},
                    FlowCase{"config_before_assets", {}, false, kWintunDigest, "config_section_invalid"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brenmoor
