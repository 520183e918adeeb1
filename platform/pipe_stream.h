// One end of a connected control-pipe connection, seen as a byte stream. The frame
// reader and writer (control/frame.h) work on this interface only, so tests and the
// fuzzer drive them without a pipe.
#pragma once

#include <cstddef>

#include "common/error.h"

namespace brenmoor::platform {

class PipeStream {
 public:
  virtual ~PipeStream() = default;
  // One read call into data[0..size): the number of bytes read, 0 at the end of the
  // stream, or "pipe_read_failed". Blocks until data arrives or, where the stream
  // has one, its read deadline passes.
  [[nodiscard]] virtual Result<std::size_t> read_some(char* data, std::size_t size) = 0;
  // One write call: the number of bytes written (possibly fewer than asked), or
  // "pipe_write_failed". Blocks until some bytes are taken or, where the stream has
  // one, its write deadline passes.
  [[nodiscard]] virtual Result<std::size_t> write_some(const char* data, std::size_t size) = 0;
};

}  // namespace brenmoor::platform
