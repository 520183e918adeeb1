#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <utility>

#include "platform/pipe_server.h"
#include "platform/wide.h"

namespace brenmoor::platform {
namespace {

static_assert(kPipeAccessDuplex == PIPE_ACCESS_DUPLEX);
static_assert(kFileFlagFirstPipeInstance == FILE_FLAG_FIRST_PIPE_INSTANCE);
static_assert(kPipeRejectRemoteClients == (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS));
static_assert(kFileFlagOverlapped == FILE_FLAG_OVERLAPPED);
static_assert(kPipeMaxInstances < PIPE_UNLIMITED_INSTANCES);

constexpr DWORD kQueryLimitedInformation = 0x1000;
constexpr DWORD kImagePathUnits = 32768;

bool usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

DWORD wait_ms(MonoTime deadline) {
  if (deadline == MonoTime::max()) return INFINITE;
  const auto left = deadline - MonoClock::now();
  if (left <= Duration::zero()) return 0;
  // Rounded up: a wait that ends a little early would fail a call that had time left.
  return static_cast<DWORD>(std::min<std::int64_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count(),
                                                   INFINITE - 1));
}

// One overlapped call on the instance, waited for until the deadline. When it
// passes, the call is cancelled and its end awaited, so the kernel no longer
// touches the caller's buffer or the OVERLAPPED on our stack. Returns the bytes
// moved, or the call's error (ERROR_TIMEOUT for a missed deadline).
template <class Start>
std::pair<DWORD, DWORD> overlapped_call(HANDLE h, MonoTime deadline, Start start) {
  OVERLAPPED ov{};
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (ov.hEvent == nullptr) return {0, GetLastError()};
  DWORD n = 0;
  DWORD err = ERROR_SUCCESS;
  if (!start(&ov)) {
    err = GetLastError();
    if (err == ERROR_IO_PENDING) {
      err = ERROR_SUCCESS;
      if (WaitForSingleObject(ov.hEvent, wait_ms(deadline)) != WAIT_OBJECT_0) {
        CancelIoEx(h, &ov);
        GetOverlappedResult(h, &ov, &n, TRUE);
        CloseHandle(ov.hEvent);
        return {0, ERROR_TIMEOUT};
      }
    }
  }
  if (err == ERROR_SUCCESS && !GetOverlappedResult(h, &ov, &n, TRUE)) err = GetLastError();
  CloseHandle(ov.hEvent);
  return {n, err};
}

}  // namespace

struct PipeServer::Backend {
  std::wstring wide_path;
};

PipeServer::PipeServer(std::string path) : path_(std::move(path)), backend_(std::make_unique<Backend>()) {
  backend_->wide_path = widen(path_);
}

PipeServer::~PipeServer() = default;

Result<PipeInstance> PipeServer::create_instance(std::string_view descriptor, InstanceKind kind) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(widen(descriptor).c_str(), SDDL_REVISION_1, &sd, nullptr))
    return fail("pipe_acl_failed");
  SECURITY_ATTRIBUTES sa{};
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = sd;
  sa.bInheritHandle = FALSE;
  const PipeCreateParams p = pipe_create_params(kind);
  HANDLE h = CreateNamedPipeW(backend_->wide_path.c_str(), p.open_mode, p.pipe_mode, p.max_instances,
                              p.out_buffer_bytes, p.in_buffer_bytes, p.default_timeout_ms, &sa);
  const DWORD err = GetLastError();
  LocalFree(sd);
  if (h == INVALID_HANDLE_VALUE) {
    // With the first-instance flag, an existing name answers access denied: someone
    // made it before us, and joining it would hand our clients to them.
    if (kind == InstanceKind::first && err == ERROR_ACCESS_DENIED) return fail(kPipeNameTaken);
    return fail("pipe_create_failed");
  }
  PipeInstance instance;
  instance.handle_ = h;
  return instance;
}

PipeInstance::PipeInstance(PipeInstance&& o) noexcept
    : read_deadline_(o.read_deadline_),
      write_deadline_(o.write_deadline_),
      connected_at_(o.connected_at_),
      handle_(std::exchange(o.handle_, nullptr)) {}

PipeInstance& PipeInstance::operator=(PipeInstance&& o) noexcept {
  if (this != &o) {
    if (usable(handle_)) CloseHandle(handle_);
    read_deadline_ = o.read_deadline_;
    write_deadline_ = o.write_deadline_;
    connected_at_ = o.connected_at_;
    handle_ = std::exchange(o.handle_, nullptr);
  }
  return *this;
}

PipeInstance::~PipeInstance() {
  if (usable(handle_)) CloseHandle(handle_);
}

bool PipeInstance::valid() const { return usable(handle_); }

Status PipeInstance::wait_for_client() {
  if (!usable(handle_)) return fail("pipe_connect_failed");
  const auto [n, err] = overlapped_call(handle_, MonoTime::max(), [&](OVERLAPPED* ov) {
    return ConnectNamedPipe(handle_, ov);
  });
  (void)n;
  // ERROR_PIPE_CONNECTED: a client that connected between CreateNamedPipeW and this call.
  if (err == ERROR_SUCCESS || err == ERROR_PIPE_CONNECTED) {
    connected_at_ = MonoClock::now();
    return {};
  }
  // Typically a client that came and went (ERROR_NO_DATA): disconnecting makes the
  // instance listen again, so the caller can keep it and the name with it.
  DisconnectNamedPipe(handle_);
  if (err == ERROR_NOT_ENOUGH_MEMORY || err == ERROR_NO_SYSTEM_RESOURCES || err == ERROR_OUTOFMEMORY)
    return fail("pipe_create_failed");
  return fail("pipe_connect_failed");
}

Result<std::size_t> PipeInstance::read_some(char* data, std::size_t size) {
  if (!usable(handle_)) return fail("pipe_read_failed");
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  const auto [n, err] = overlapped_call(handle_, read_deadline_, [&](OVERLAPPED* ov) {
    return ReadFile(handle_, data, ask, nullptr, ov);
  });
  if (err != ERROR_SUCCESS) return fail("pipe_read_failed");
  return static_cast<std::size_t>(n);
}

Result<std::size_t> PipeInstance::write_some(const char* data, std::size_t size) {
  if (!usable(handle_)) return fail("pipe_write_failed");
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  const auto [n, err] = overlapped_call(handle_, write_deadline_, [&](OVERLAPPED* ov) {
    return WriteFile(handle_, data, ask, nullptr, ov);
  });
  if (err != ERROR_SUCCESS) return fail("pipe_write_failed");
  return static_cast<std::size_t>(n);
}

Result<std::string> PipeInstance::client_image_path() {
  ULONG pid = 0;
  if (!GetNamedPipeClientProcessId(handle_, &pid) || pid == 0) return fail("client_identity_unverified");
  HANDLE process = OpenProcess(kQueryLimitedInformation, FALSE, pid);
  if (process == nullptr) return fail("client_identity_unverified");
  std::wstring buf(kImagePathUnits, L'\0');
  DWORD len = kImagePathUnits;
  const BOOL ok = QueryFullProcessImageNameW(process, 0, buf.data(), &len);
  CloseHandle(process);
  if (!ok || len == 0) return fail("client_identity_unverified");
  buf.resize(len);
  return narrow(buf);
}

void PipeInstance::flush_disconnect() noexcept {
  if (usable(handle_)) {
    // The client has taken the response once it closes its end: a pending read
    // then ends with ERROR_BROKEN_PIPE. Bytes it sends meanwhile are dropped. A
    // client that neither reads nor closes is cut off at the write deadline, and
    // what it did not take is discarded by the disconnect.
    char sink[256];
    for (;;) {
      const auto [n, err] = overlapped_call(handle_, write_deadline_, [&](OVERLAPPED* ov) {
        return ReadFile(handle_, sink, sizeof sink, nullptr, ov);
      });
      (void)n;
      if (err != ERROR_SUCCESS && err != ERROR_MORE_DATA) break;
      if (MonoClock::now() >= write_deadline_) break;  // reads that complete at once never wait
    }
    DisconnectNamedPipe(handle_);
  }
  read_deadline_ = write_deadline_ = MonoTime::max();
}

void PipeInstance::flush_disconnect_close() noexcept {
  flush_disconnect();
  if (usable(handle_)) CloseHandle(handle_);
  handle_ = nullptr;
}

}  // namespace brenmoor::platform
