// The stand-in engine's side of the control protocol: parsing a request head and
// writing a reply. Pure functions over text, so the fuzzer can drive them.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace brenmoor::test_engine {

inline constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// Room for the largest configuration the service passes (7,340,032 bytes) even
// when every byte needs a six-byte escape.
inline constexpr std::size_t kMaxBodyBytes = 64 * 1024 * 1024;

struct RequestHead {
  std::string method;
  std::string target;
  std::string version;  // "HTTP/1.0" or "HTTP/1.1"
  std::size_t content_length = 0;
  std::optional<std::string> control_token;  // X-Bren-Control-Token, blanks trimmed
};

// `head` is the text before the first "\r\n\r\n". Returns an error text when the
// request line or a header is malformed, or the body would exceed kMaxBodyBytes.
std::expected<RequestHead, std::string> parse_request_head(std::string_view head);

std::string_view reason_phrase(int status);

// "{version} {status} {reason}\r\n" + Content-Type (when a body is given),
// Content-Length, Connection: close, blank line, body.
std::string format_reply(std::string_view version, int status, std::string_view body);

}  // namespace brenmoor::test_engine
