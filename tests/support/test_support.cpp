#include "support/test_support.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/paths.h"
#include "platform/process_info.h"

namespace brenmoor::test {

namespace fs = std::filesystem;

void init_test_environment() {
#ifndef _WIN32
  // A private root per run keeps parallel ctest processes and earlier runs apart.
  std::string tmpl = (fs::temp_directory_path() / "brenmoor-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) != nullptr) ::setenv("BRENMOOR_HOST_ROOT", tmpl.c_str(), 1);
#endif
}

std::string bin_dir() {
  auto exe = platform::current_executable_path();
  if (!exe) return ".";
  return platform::parent_directory(*exe).value_or(".");
}

std::string bin_path(const std::string& name) {
#ifdef _WIN32
  return platform::join_path(bin_dir(), name + ".exe");
#else
  return platform::join_path(bin_dir(), name);
#endif
}

std::string make_temp_dir(const std::string& tag) {
  static std::atomic<int> counter{0};
  fs::path base = fs::temp_directory_path() / "brenmoor-tests";
  fs::path dir;
  for (;;) {
    dir = base / (tag + "-" + std::to_string(counter.fetch_add(1)) + "-" + std::to_string(std::rand()));
    std::error_code ec;
    fs::create_directories(base, ec);
    if (fs::create_directory(dir, ec)) break;
  }
  return dir.string();
}

// The checkout's path is defined for this one file only: on every other file it would
// make the compiler cache miss in any other clone.
std::string source_dir() { return BRENMOOR_SOURCE_DIR; }

std::string read_file(const std::string& path) {
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace brenmoor::test
