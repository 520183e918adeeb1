// The server side of the control pipe.
//
// Windows: every instance is a named pipe instance made by CreateNamedPipeW with the
// security descriptor given as SDDL text; waiting is ConnectNamedPipe.
// Dev host: the pipe is a Unix stream socket at the pipe path. One listening socket
// stands for all instances; an instance is one accept() on it. The descriptor is
// mapped onto the socket file's owner, group, mode and POSIX ACL (docs/dev-host.md).
//
// Windows: the first instance is made with FILE_FLAG_FIRST_PIPE_INSTANCE, so that a
// name another process created first is refused instead of joined; every instance
// rejects remote clients (the identity check trusts the process id a client gives).
// Who calls create_instance keeps the name owned: it asks for a first instance only
// when it holds none, and makes the next one before it lets go of the last.
//
// Ownership: a PipeServer owns what backs its instances (POSIX: the listening socket,
// its lock file and the socket file, removed on destruction). A PipeInstance owns its
// handle; an instance that is not yet connected must not outlive its server.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "platform/clock.h"
#include "platform/pipe_stream.h"

namespace brenmoor::platform {

#ifdef _WIN32
using NativePipeHandle = void*;  // HANDLE
#else
using NativePipeHandle = int;
#endif

enum class InstanceKind {
  first,    // the caller holds no instance: the name must not exist yet
  another,  // the caller holds one of its own: the name is already ours
};

// What CreateNamedPipeW is given for an instance (Windows; the dev host has no such
// parameters, but the values are checked there too).
inline constexpr std::uint32_t kPipeAccessDuplex = 0x3;
inline constexpr std::uint32_t kFileFlagFirstPipeInstance = 0x00080000;
// Every read, write and wait on an instance is overlapped, so that each can be given
// a time limit and cancelled (CancelIoEx) when it passes.
inline constexpr std::uint32_t kFileFlagOverlapped = 0x40000000;
inline constexpr std::uint32_t kPipeRejectRemoteClients = 0x8;  // byte type, byte read mode, blocking wait
// The most instances of the name at once: one per connection handler, and the
// caller runs at most this many handlers (the listening instance is the next
// handler's). Clients beyond it wait in the system's queue (ERROR_PIPE_BUSY).
inline constexpr std::uint32_t kPipeMaxInstances = 128;
// Each instance's buffers are charged to the kernel's non-paged pool. A request
// larger than the input buffer still arrives whole: the pipe is byte mode, and the
// writer waits for the reader.
inline constexpr std::uint32_t kPipeBufferBytes = 65536;

struct PipeCreateParams {
  std::uint32_t open_mode;
  std::uint32_t pipe_mode;
  std::uint32_t max_instances;
  std::uint32_t out_buffer_bytes;
  std::uint32_t in_buffer_bytes;
  std::uint32_t default_timeout_ms;
  friend bool operator==(const PipeCreateParams&, const PipeCreateParams&) = default;
};

constexpr PipeCreateParams pipe_create_params(InstanceKind kind) {
  return {kPipeAccessDuplex | kFileFlagOverlapped | (kind == InstanceKind::first ? kFileFlagFirstPipeInstance : 0u),
          kPipeRejectRemoteClients,
          kPipeMaxInstances,
          kPipeBufferBytes,
          kPipeBufferBytes,
          0};
}

// create_instance's failure when another process owns the name (a first instance
// was asked for and the name exists). The caller pauses and tries again.
inline constexpr std::string_view kPipeNameTaken = "pipe_name_taken";

class PipeInstance final : public PipeStream {
 public:
  PipeInstance() = default;
  PipeInstance(PipeInstance&& o) noexcept;
  PipeInstance& operator=(PipeInstance&& o) noexcept;
  PipeInstance(const PipeInstance&) = delete;
  PipeInstance& operator=(const PipeInstance&) = delete;
  // Closes the handle without flushing or disconnecting.
  ~PipeInstance() override;

  // Blocks until a client connects. A client that connected between creation and
  // this call counts as connected (ERROR_PIPE_CONNECTED). Failure:
  // "pipe_connect_failed", or "pipe_create_failed" when the system is out of
  // resources for a connection (the caller pauses before retrying). After a failure
  // the instance is listening again (Windows: disconnected), so it keeps the name.
  [[nodiscard]] Status wait_for_client();

  // Reads and writes fail ("pipe_read_failed" / "pipe_write_failed") once their
  // deadline passes without progress; the I/O in flight is cancelled first, so
  // nothing is left to land in the caller's buffer afterwards. Without a deadline
  // they wait for the client without a time limit.
  [[nodiscard]] Result<std::size_t> read_some(char* data, std::size_t size) override;
  [[nodiscard]] Result<std::size_t> write_some(const char* data, std::size_t size) override;
  void set_read_deadline(MonoTime deadline) { read_deadline_ = deadline; }
  void set_write_deadline(MonoTime deadline) { write_deadline_ = deadline; }
  // When wait_for_client saw the client connect.
  MonoTime connected_at() const { return connected_at_; }

  // Full path of the connected client's executable as the system reports it (UTF-8;
  // Windows: unpaired surrogates become U+FFFD, no prefix stripped), or
  // "client_identity_unverified" when the client process cannot be identified.
  [[nodiscard]] Result<std::string> client_image_path();

  // Lets the client take what was written, then DisconnectNamedPipe, results
  // ignored (POSIX: shutdown and close of the connection; sent bytes already sit
  // with the peer). Windows: the client has taken everything once it closes its
  // end, which a pending read sees; that wait ends at the write deadline, so a
  // client that never reads cannot hold the instance (FlushFileBuffers would wait
  // for ever). The instance stays ours and listens again: wait_for_client may be
  // called on it as on a new one (its server must still exist).
  void flush_disconnect() noexcept;
  // flush_disconnect, then CloseHandle. The instance is empty afterwards.
  void flush_disconnect_close() noexcept;

  bool valid() const;

 private:
  friend class PipeServer;
  MonoTime read_deadline_ = MonoTime::max();
  MonoTime write_deadline_ = MonoTime::max();
  MonoTime connected_at_{};
  NativePipeHandle handle_ =
#ifdef _WIN32
      nullptr;
#else
      -1;
  int listener_ = -1;  // borrowed from the PipeServer: accepted on again after a disconnect
#endif
};

class PipeServer {
 public:
  // path: "\\.\pipe\..." on Windows, a socket path on the dev host.
  explicit PipeServer(std::string path);
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;
  ~PipeServer();

  // A new instance guarded by `descriptor` (SDDL), with pipe_create_params(kind).
  // "pipe_acl_failed" when the text is rejected, kPipeNameTaken when a first
  // instance was asked for and another process holds the name (dev host: the lock
  // beside the socket is held by another process), "pipe_create_failed" when the
  // instance cannot be made.
  [[nodiscard]] Result<PipeInstance> create_instance(std::string_view descriptor, InstanceKind kind);

  const std::string& path() const { return path_; }

 private:
  struct Backend;
  std::string path_;
  std::unique_ptr<Backend> backend_;
};

}  // namespace brenmoor::platform
