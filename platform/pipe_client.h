// The client side of the control pipe: the wake-up connection of the service's own
// control handler, the diagnostic client and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/error.h"
#include "platform/clock.h"
#include "platform/pipe_server.h"
#include "platform/pipe_stream.h"

namespace brenmoor::platform {

// Failure codes of open_pipe_client.
inline constexpr std::string_view kPipeNotFound = "pipe_not_found";          // no server is listening
inline constexpr std::string_view kPipeAccessDenied = "pipe_access_denied";  // the descriptor refuses us
inline constexpr std::string_view kPipeBusy = "pipe_busy";                   // every instance stayed busy
inline constexpr std::string_view kPipeOpenFailed = "pipe_open_failed";      // anything else

class PipeClient final : public PipeStream {
 public:
  PipeClient() = default;
  PipeClient(PipeClient&& o) noexcept;
  PipeClient& operator=(PipeClient&& o) noexcept;
  PipeClient(const PipeClient&) = delete;
  PipeClient& operator=(const PipeClient&) = delete;
  ~PipeClient() override;

  [[nodiscard]] Result<std::size_t> read_some(char* data, std::size_t size) override;
  [[nodiscard]] Result<std::size_t> write_some(const char* data, std::size_t size) override;

  // Ends our sending direction while the connection stays open for reading. The
  // dev host only (a socket half-close); false where the platform has none.
  bool close_write();
  void close() noexcept;

  // Backend use: takes ownership of a connected handle.
  static PipeClient adopt(NativePipeHandle handle) {
    PipeClient c;
    c.handle_ = handle;
    return c;
  }

 private:
  friend Result<PipeClient> open_pipe_client(const std::string& path, Duration busy_wait);
  NativePipeHandle handle_ =
#ifdef _WIN32
      nullptr;
#else
      -1;
#endif
};

// How long a willing caller keeps trying while the pipe does not exist: twice the
// server's pause after a failed instance creation.
inline constexpr Duration kPipeNotFoundRetry = std::chrono::seconds(1);

// What CreateFileW is given for the client end (Windows; checked on the dev host too).
// Access: read and write by their single rights. GENERIC_WRITE would map to
// FILE_GENERIC_WRITE, whose FILE_APPEND_DATA is FILE_CREATE_PIPE_INSTANCE on a pipe,
// which the allowed SID is deliberately not granted.
//   FILE_GENERIC_READ 0x120089 | FILE_WRITE_DATA 0x2 | FILE_WRITE_ATTRIBUTES 0x100
inline constexpr std::uint32_t kPipeClientAccess = 0x12018B;
inline constexpr std::uint32_t kPipeClientShare = 0x7;  // FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
// SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION: whatever answers may learn who we
// are but never act as us. The service's own wake-up runs as SYSTEM, and a server
// that could impersonate it would hold a SYSTEM token.
inline constexpr std::uint32_t kPipeClientFlags = 0x00110000;

// Opens the pipe for reading and writing (Windows: kPipeClientAccess, share read,
// write and delete, open existing, kPipeClientFlags). While every server instance is busy it waits up to busy_wait in
// all for one to become free, and while the pipe does not exist it tries again for
// up to kPipeNotFoundRetry (within busy_wait); zero means a single try.
[[nodiscard]] Result<PipeClient> open_pipe_client(const std::string& path, Duration busy_wait);

}  // namespace brenmoor::platform
