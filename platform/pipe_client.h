// The client side of the control pipe: the wake-up connection of the service's own
// control handler, the diagnostic client and the tests.
#pragma once

#include <cstddef>
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

// Opens the pipe for reading and writing (Windows: share read, write and delete,
// open existing). While every server instance is busy it waits up to busy_wait in
// all for one to become free, and while the pipe does not exist it tries again for
// up to kPipeNotFoundRetry (within busy_wait); zero means a single try.
[[nodiscard]] Result<PipeClient> open_pipe_client(const std::string& path, Duration busy_wait);

}  // namespace brenmoor::platform
