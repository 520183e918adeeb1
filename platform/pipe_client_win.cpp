#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/pipe_client.h"
#include "platform/wide.h"

namespace brenmoor::platform {
namespace {
static_assert(kPipeClientAccess == (FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES));
static_assert((kPipeClientAccess & FILE_CREATE_PIPE_INSTANCE) == 0);
static_assert(kPipeClientShare == (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE));
static_assert(kPipeClientFlags == (SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION));
bool usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
}  // namespace

PipeClient::PipeClient(PipeClient&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}

PipeClient& PipeClient::operator=(PipeClient&& o) noexcept {
  if (this != &o) {
    close();
    handle_ = std::exchange(o.handle_, nullptr);
  }
  return *this;
}

PipeClient::~PipeClient() { close(); }

void PipeClient::close() noexcept {
  if (usable(handle_)) CloseHandle(handle_);
  handle_ = nullptr;
}

bool PipeClient::close_write() { return false; }  // a pipe handle has no half-close

Result<std::size_t> PipeClient::read_some(char* data, std::size_t size) {
  DWORD n = 0;
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  if (!ReadFile(handle_, data, ask, &n, nullptr)) {
    // The server closing after its response is the end of the stream.
    if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_PIPE_NOT_CONNECTED) return std::size_t{0};
    return fail("pipe_read_failed");
  }
  return static_cast<std::size_t>(n);
}

Result<std::size_t> PipeClient::write_some(const char* data, std::size_t size) {
  DWORD n = 0;
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  if (!WriteFile(handle_, data, ask, &n, nullptr)) return fail("pipe_write_failed");
  return static_cast<std::size_t>(n);
}

Result<PipeClient> open_pipe_client(const std::string& path, Duration busy_wait) {
  const std::wstring wide = widen(path);
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + busy_wait;
  // A missing name is retried only for a while: it usually means no service at all,
  // but it also happens when every instance (at most 255) was busy and the server
  // pauses 500 ms before it makes the next one, while the busy ones all close.
  // The window opens at the first miss after the pipe was last seen.
  bool missing = false;
  auto missing_since = start;
  for (;;) {
    HANDLE h = CreateFileW(wide.c_str(), kPipeClientAccess, kPipeClientShare, nullptr, OPEN_EXISTING, kPipeClientFlags,
                           nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      PipeClient client;
      client.handle_ = h;
      return client;
    }
    const DWORD err = GetLastError();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (err == ERROR_PIPE_BUSY) {
      missing = false;
      if (left.count() <= 0) return fail(kPipeBusy);
      WaitNamedPipeW(wide.c_str(), static_cast<DWORD>(std::max<long long>(1, left.count())));
      continue;
    }
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) {
      // With every instance just handed to a handler and the next one not yet made,
      // the name is briefly gone; a caller willing to wait gets a few more tries.
      const auto now = std::chrono::steady_clock::now();
      if (!missing) {
        missing = true;
        missing_since = now;
      }
      if (now < deadline && now - missing_since < kPipeNotFoundRetry) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      return fail(kPipeNotFound);
    }
    if (err == ERROR_ACCESS_DENIED) return fail(kPipeAccessDenied);
    return fail(kPipeOpenFailed);
  }
}

}  // namespace brenmoor::platform
