// The frame of the control pipe, both directions: a 4-byte little-endian length and
// that many bytes of UTF-8 JSON. One request and one response per connection.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "control/records.h"
#include "platform/pipe_stream.h"

namespace brenmoor {

// Reads exactly `size` bytes with as many calls as it takes; a failed call or one
// that reads nothing (end of stream) gives "pipe_read_failed".
[[nodiscard]] Status read_exact(platform::PipeStream& stream, char* data, std::size_t size);

// Writes all bytes, each call asking for at most 4294967295 bytes and carrying on
// after a partial write; a failed call or one that writes nothing gives
// "pipe_write_failed".
[[nodiscard]] Status write_all(platform::PipeStream& stream, std::string_view bytes);

// One request: the length (0 or above 8388608: "request_size_invalid", and nothing
// more is read), then exactly that many bytes, decoded. Bytes after the declared
// length are never read. The body buffer grows with the bytes received (64 KiB
// first, then doubling up to the declared length), and every block it releases, on
// growth and on every way out, is overwritten with zeros first, so tokens and keys
// do not linger in freed memory.
[[nodiscard]] Result<ServiceRequest> read_request(platform::PipeStream& stream);

// Encodes the response ("response_encode_failed") and writes its length and body
// ("pipe_write_failed").
[[nodiscard]] Status write_response(platform::PipeStream& stream, const ServiceResponse& response);

// Client side: one frame out ("request_size_invalid" for an empty body or one that
// does not fit the length field), and one frame in, refused above max_size
// ("response_size_invalid") before its body is read.
[[nodiscard]] Status write_frame(platform::PipeStream& stream, std::string_view body);
[[nodiscard]] Result<std::string> read_frame(platform::PipeStream& stream, std::uint32_t max_size);

void encode_frame_length(std::uint32_t n, char out[4]);
std::uint32_t decode_frame_length(const char in[4]);

}  // namespace brenmoor
