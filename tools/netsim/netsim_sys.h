// The few operating-system services the simulator needs; one backend per platform
// (netsim_sys_posix.cpp, netsim_sys_win.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace netsim::sys {

// An exclusive advisory lock on a lock file (flock / LockFileEx), released on destruction.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();
  // Blocks until the lock is held; the file is created when missing.
  bool acquire(const std::string& path, std::string* error);

 private:
  std::intptr_t handle_ = -1;
};

// False only when the process is known to be gone (zombies count as gone: a Wintun
// adapter disappears when its owner's handles close, before anyone reaps it).
bool process_alive(long pid);
long current_process_id();

// Whole-file read; nullopt when the file does not exist, error text in *error otherwise.
std::optional<std::string> read_file(const std::string& path, bool* missing, std::string* error);
// Writes "{path}.tmp" and moves it over path.
bool replace_file(const std::string& path, std::string_view bytes, std::string* error);

// Raw bytes to standard output / error (binary mode on Windows, so "\r\n" stays as is).
void write_stdout(std::string_view bytes);
void write_stderr(std::string_view bytes);

// Sleeps until the process is killed (the "hang" fault).
[[noreturn]] void hang_forever();

}  // namespace netsim::sys
