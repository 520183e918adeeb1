// The request frame reader on arbitrary bytes, handed out in arbitrary pieces: it
// must never read past the declared length, crash or accept a bad size.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "control/frame.h"

namespace {

class ChunkedStream final : public brenmoor::platform::PipeStream {
 public:
  ChunkedStream(const std::uint8_t* data, std::size_t size, std::size_t chunk)
      : data_(data), size_(size), chunk_(chunk) {}
  brenmoor::Result<std::size_t> read_some(char* out, std::size_t n) override {
    const std::size_t k = std::min({n, chunk_, size_ - pos_});
    std::copy_n(data_ + pos_, k, out);
    pos_ += k;
    return k;
  }
  brenmoor::Result<std::size_t> write_some(const char*, std::size_t n) override { return n; }
  std::size_t consumed() const { return pos_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t chunk_;
  std::size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t chunk = 1 + data[0] % 16;
  ChunkedStream s(data + 1, size - 1, chunk);
  auto r = brenmoor::read_request(s);
  if (size - 1 >= 4) {
    const std::uint32_t n = brenmoor::decode_frame_length(reinterpret_cast<const char*>(data + 1));
    if (n == 0 || n > brenmoor::kMaxRequestBytes) {
      if (r || r.error() != "request_size_invalid" || s.consumed() != 4) __builtin_trap();
    } else if (s.consumed() > 4 + std::size_t{n}) {
      __builtin_trap();  // read past the frame
    }
  }
  if (r) {
    // Whatever was decoded must answer and encode.
    brenmoor::ServiceResponse resp = brenmoor::error_response("request_decode_failed");
    ChunkedStream sink(nullptr, 0, 1);
    if (!brenmoor::write_response(sink, resp)) __builtin_trap();
  }
  return 0;
}
