// The engine's readiness line: "READY port={port}" on its standard output.
//
// The waiter thread owns the output pipe and sends exactly one message (the port or
// a code) over a single-use channel; the starting thread waits a bounded time and may
// leave before the message arrives. The waiter then lingers until the killed
// engine's pipe reports end of stream.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "common/error.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace brenmoor {

inline constexpr std::size_t kReadinessBufferBytes = 8192;
inline constexpr Duration kReadinessLimit = std::chrono::seconds(10);
// A line longer than this cannot be a readiness line worth keeping in memory; the
// rest of it is skipped so a misbehaving engine cannot grow the service without bound.
inline constexpr std::size_t kReadinessLineLimit = 64 * 1024;

// The port of a readiness line: after trimming Unicode white space, "READY port="
// then an optional "+", at least one digit, nothing else, value at most 65535.
std::optional<std::uint16_t> parse_ready_line(std::string_view line);

// Reads lines (up to and including "\n") from `read` through an 8,192-byte buffer
// until one is a readiness line. An unterminated last line counts when the stream
// ends after it. End of stream first: "engine_ready_timeout"; a read error or a line
// that is not UTF-8: "engine_ready_read_failed".
using ReadFn = std::function<Result<std::size_t>(char* buffer, std::size_t size)>;
[[nodiscard]] Result<std::uint16_t> read_readiness(const ReadFn& read);

// Starts the waiter thread on the engine's stdout pipe.
class ReadinessWaiter {
 public:
  explicit ReadinessWaiter(platform::PipeReader pipe);
  // The port, or the waiter's code; nothing within `limit` (or a waiter that ended
  // without a message): "engine_ready_timeout".
  [[nodiscard]] Result<std::uint16_t> wait(Duration limit);

  struct Channel;

 private:
  std::shared_ptr<Channel> channel_;
};

}  // namespace brenmoor
