#ifndef _WIN32
#error "Windows backend built for another platform"
#endif
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <utility>

#include "platform/pipe_server.h"
#include "platform/wide.h"

namespace brenmoor::platform {
namespace {

static_assert(kPipeAccessDuplex == PIPE_ACCESS_DUPLEX);
static_assert(kFileFlagFirstPipeInstance == FILE_FLAG_FIRST_PIPE_INSTANCE);
static_assert(kPipeRejectRemoteClients == (PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS));
static_assert(kPipeUnlimitedInstances == PIPE_UNLIMITED_INSTANCES);

constexpr DWORD kQueryLimitedInformation = 0x1000;
constexpr DWORD kImagePathUnits = 32768;

bool usable(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

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

PipeInstance::PipeInstance(PipeInstance&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}

PipeInstance& PipeInstance::operator=(PipeInstance&& o) noexcept {
  if (this != &o) {
    if (usable(handle_)) CloseHandle(handle_);
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
  if (ConnectNamedPipe(handle_, nullptr)) return {};
  // A client that connected between CreateNamedPipeW and this call.
  if (GetLastError() == ERROR_PIPE_CONNECTED) return {};
  // Typically a client that came and went (ERROR_NO_DATA): disconnecting makes the
  // instance listen again, so the caller can keep it and the name with it.
  DisconnectNamedPipe(handle_);
  return fail("pipe_connect_failed");
}

Result<std::size_t> PipeInstance::read_some(char* data, std::size_t size) {
  DWORD n = 0;
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  if (!ReadFile(handle_, data, ask, &n, nullptr)) return fail("pipe_read_failed");
  return static_cast<std::size_t>(n);
}

Result<std::size_t> PipeInstance::write_some(const char* data, std::size_t size) {
  DWORD n = 0;
  const DWORD ask = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  if (!WriteFile(handle_, data, ask, &n, nullptr)) return fail("pipe_write_failed");
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

void PipeInstance::flush_disconnect_close() noexcept {
  if (usable(handle_)) {
    FlushFileBuffers(handle_);
    DisconnectNamedPipe(handle_);
    CloseHandle(handle_);
  }
  handle_ = nullptr;
}

}  // namespace brenmoor::platform
