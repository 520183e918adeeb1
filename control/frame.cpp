#include "control/frame.h"

#include <algorithm>
#include <memory>

#include "common/secret.h"
#include "common/utf8.h"

namespace brenmoor {
namespace {

constexpr std::size_t kMaxCallBytes = 4294967295u;

// Zeroes the request buffer however read_request leaves.
class ScrubbedBuffer {
 public:
  explicit ScrubbedBuffer(std::size_t size) : data_(new char[size]()), size_(size) {}
  ScrubbedBuffer(const ScrubbedBuffer&) = delete;
  ScrubbedBuffer& operator=(const ScrubbedBuffer&) = delete;
  ~ScrubbedBuffer() { secure_zero(data_.get(), size_); }
  char* data() { return data_.get(); }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_;
};

}  // namespace

void encode_frame_length(std::uint32_t n, char out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
}

std::uint32_t decode_frame_length(const char in[4]) {
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return n;
}

Status read_exact(platform::PipeStream& stream, char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    auto n = stream.read_some(data + done, size - done);
    if (!n || *n == 0) return fail("pipe_read_failed");
    done += std::min(*n, size - done);
  }
  return {};
}

Status write_all(platform::PipeStream& stream, std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t ask = std::min(bytes.size() - done, kMaxCallBytes);
    auto n = stream.write_some(bytes.data() + done, ask);
    if (!n || *n == 0) return fail("pipe_write_failed");
    done += std::min(*n, ask);
  }
  return {};
}

Result<ServiceRequest> read_request(platform::PipeStream& stream) {
  char prefix[4];
  if (auto s = read_exact(stream, prefix, sizeof prefix); !s) return std::unexpected(s.error());
  const std::uint32_t n = decode_frame_length(prefix);
  if (n == 0 || n > kMaxRequestBytes) return fail("request_size_invalid");

  // Allocated only now that the size is known to be sane; the padding lets the JSON
  // parser read the body in place instead of making an unscrubbed copy of it.
  ScrubbedBuffer body(static_cast<std::size_t>(n) + kJsonPadding);
  if (auto s = read_exact(stream, body.data(), n); !s) return std::unexpected(s.error());
  return decode_request_padded(std::string_view(body.data(), n));
}

Status write_response(platform::PipeStream& stream, const ServiceResponse& response) {
  auto body = encode_response(response);
  if (!body) return fail("response_encode_failed");
  if (body->size() > 0xFFFFFFFFu) return fail("response_encode_failed");
  char prefix[4];
  encode_frame_length(static_cast<std::uint32_t>(body->size()), prefix);
  if (auto s = write_all(stream, std::string_view(prefix, 4)); !s) return s;
  return write_all(stream, *body);
}

Status write_frame(platform::PipeStream& stream, std::string_view body) {
  if (body.empty() || body.size() > 0xFFFFFFFFu) return fail("request_size_invalid");
  char prefix[4];
  encode_frame_length(static_cast<std::uint32_t>(body.size()), prefix);
  if (auto s = write_all(stream, std::string_view(prefix, 4)); !s) return s;
  return write_all(stream, body);
}

Result<std::string> read_frame(platform::PipeStream& stream, std::uint32_t max_size) {
  char prefix[4];
  if (auto s = read_exact(stream, prefix, sizeof prefix); !s) return std::unexpected(s.error());
  const std::uint32_t n = decode_frame_length(prefix);
  if (n > max_size) return fail("response_size_invalid");
  std::string body(n, '\0');
  if (auto s = read_exact(stream, body.data(), n); !s) return std::unexpected(s.error());
  return body;
}

}  // namespace brenmoor
