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
inline constexpr std::uint32_t kPipeRejectRemoteClients = 0x8;  // byte type, byte read mode, blocking wait
inline constexpr std::uint32_t kPipeUnlimitedInstances = 255;

struct PipeCreateParams {
  std::uint32_t open_mode;
  std::uint32_t pipe_mode;
  std::uint32_t max_instances;
  std::uint32_t out_buffer_bytes;
  std::uint32_t in_buffer_bytes;  // the largest request fits in one buffer
  std::uint32_t default_timeout_ms;
  friend bool operator==(const PipeCreateParams&, const PipeCreateParams&) = default;
};

constexpr PipeCreateParams pipe_create_params(InstanceKind kind) {
  return {kPipeAccessDuplex | (kind == InstanceKind::first ? kFileFlagFirstPipeInstance : 0u),
          kPipeRejectRemoteClients,
          kPipeUnlimitedInstances,
          65536,
          8388608,
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

  [[nodiscard]] Result<std::size_t> read_some(char* data, std::size_t size) override;
  [[nodiscard]] Result<std::size_t> write_some(const char* data, std::size_t size) override;

  // Full path of the connected client's executable as the system reports it (UTF-8;
  // Windows: unpaired surrogates become U+FFFD, no prefix stripped), or
  // "client_identity_unverified" when the client process cannot be identified.
  [[nodiscard]] Result<std::string> client_image_path();

  // FlushFileBuffers, DisconnectNamedPipe and CloseHandle, in this order, results
  // ignored (POSIX: shutdown and close). The instance is empty afterwards.
  void flush_disconnect_close() noexcept;

  bool valid() const;

 private:
  friend class PipeServer;
  NativePipeHandle handle_ =
#ifdef _WIN32
      nullptr;
#else
      -1;
  int listener_ = -1;  // borrowed from the PipeServer until accept() hands us a connection
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
