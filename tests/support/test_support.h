// Shared helpers for the test binary.
#pragma once

#include <string>

namespace brenmoor::test {

// Gives the whole test run a private host root (BRENMOOR_HOST_ROOT) on the dev host.
void init_test_environment();

// Folder of the running test binary; the helper programs (th_*) and tools live there.
std::string bin_dir();

// Path of a helper or tool executable in bin_dir(), with ".exe" on Windows.
std::string bin_path(const std::string& name);

// A fresh empty folder for one test (under the temp dir), removed by nobody: the
// run's root is private.
std::string make_temp_dir(const std::string& tag);

// The checkout's root folder (samples, fixtures).
std::string source_dir();

// Whole-file read; empty when missing.
std::string read_file(const std::string& path);

}  // namespace brenmoor::test
