#include "control/frame.h"

#include <algorithm>
#include <memory>

#include "common/secret.h"
#include "common/utf8.h"

namespace brenmoor {
namespace {

constexpr std::size_t kMaxCallBytes = 4294967295u;

// The request body's buffer: it grows with the bytes actually received, so an
// announced length costs nothing until its bytes arrive. Every block it lets go of,
// on growth or at the end, is zeroed first (tokens and keys must not linger in
// freed memory).
class ScrubbedBuffer {
 public:
  ScrubbedBuffer() = default;
  ScrubbedBuffer(const ScrubbedBuffer&) = delete;
  ScrubbedBuffer& operator=(const ScrubbedBuffer&) = delete;
  ~ScrubbedBuffer() { secure_zero(data_.get(), capacity_); }
  char* data() { return data_.get(); }
  std::size_t capacity() const { return capacity_; }

  // Room for `capacity` bytes, the first `used` of them kept. The new block is
  // zero-filled, so the padding behind the body reads as zeros.
  void grow(std::size_t capacity, std::size_t used) {
    std::unique_ptr<char[]> bigger(new char[capacity]());
    if (used > 0) std::copy_n(data_.get(), used, bigger.get());
    secure_zero(data_.get(), capacity_);
    data_ = std::move(bigger);
    capacity_ = capacity;
  }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
};

// The first block for a request body; it doubles while bytes keep arriving. One
// instance input buffer's worth: what a client can hand over without waiting.
constexpr std::size_t kFirstBodyBlock = 65536;

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

  // The padding lets the JSON parser read the body in place instead of making an
  // unscrubbed copy of it.
  const std::size_t full = static_cast<std::size_t>(n) + kJsonPadding;
  ScrubbedBuffer body;
  body.grow(std::min(full, kFirstBodyBlock), 0);
  std::size_t done = 0;
  while (done < n) {
    if (done + kJsonPadding >= body.capacity()) body.grow(std::min(full, body.capacity() * 2), done);
    const std::size_t room = std::min<std::size_t>(n, body.capacity() - kJsonPadding) - done;
    auto got = stream.read_some(body.data() + done, room);
    if (!got || *got == 0) return fail("pipe_read_failed");
    done += std::min(*got, room);
  }
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
