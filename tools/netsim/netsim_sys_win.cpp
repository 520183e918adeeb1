#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include "platform/wide.h"
#include "tools/netsim/netsim_sys.h"

namespace netsim::sys {

using brenmoor::platform::widen;

namespace {

std::string last_error_text(const char* what, const std::string& path) {
  return std::string(what) + " " + path + ": error " + std::to_string(GetLastError());
}

bool write_all(HANDLE h, std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    left -= written;
  }
  return true;
}

}  // namespace

FileLock::~FileLock() {
  if (handle_ != -1) {
    HANDLE h = reinterpret_cast<HANDLE>(handle_);
    OVERLAPPED ov{};
    UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &ov);
    CloseHandle(h);
  }
}

bool FileLock::acquire(const std::string& path, std::string* error) {
  HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = last_error_text("cannot open lock file", path);
    return false;
  }
  OVERLAPPED ov{};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &ov)) {
    *error = last_error_text("cannot lock", path);
    CloseHandle(h);
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return true;
}

bool process_alive(long pid) {
  if (pid <= 0) return false;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (h == nullptr) {
    // No such process id any more; any other failure (access denied) means it exists.
    return GetLastError() != ERROR_INVALID_PARAMETER;
  }
  DWORD code = 0;
  BOOL ok = GetExitCodeProcess(h, &code);
  CloseHandle(h);
  return !ok || code == STILL_ACTIVE;
}

long current_process_id() { return static_cast<long>(GetCurrentProcessId()); }

std::optional<std::string> read_file(const std::string& path, bool* missing, std::string* error) {
  *missing = false;
  HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) *missing = true;
    *error = "cannot open " + path + ": error " + std::to_string(e);
    return std::nullopt;
  }
  std::string out;
  char buf[8192];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h, buf, sizeof buf, &n, nullptr)) {
      *error = last_error_text("cannot read", path);
      CloseHandle(h);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buf, n);
  }
  CloseHandle(h);
  return out;
}

bool replace_file(const std::string& path, std::string_view bytes, std::string* error) {
  std::wstring tmp = widen(path + ".tmp");
  HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = last_error_text("cannot create", path + ".tmp");
    return false;
  }
  bool ok = write_all(h, bytes);
  if (!CloseHandle(h)) ok = false;
  if (!ok) {
    *error = "cannot write " + path + ".tmp";
    DeleteFileW(tmp.c_str());
    return false;
  }
  // Readers of the state open it sharing delete, so the replace does not race them.
  if (!MoveFileExW(tmp.c_str(), widen(path).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = last_error_text("cannot replace", path);
    DeleteFileW(tmp.c_str());
    return false;
  }
  return true;
}

void write_stdout(std::string_view bytes) { write_all(GetStdHandle(STD_OUTPUT_HANDLE), bytes); }

void write_stderr(std::string_view bytes) { write_all(GetStdHandle(STD_ERROR_HANDLE), bytes); }

void hang_forever() {
  for (;;) Sleep(INFINITE);
}

}  // namespace netsim::sys
