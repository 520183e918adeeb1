#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "control/frame.h"

namespace brenmoor {
namespace {

// A scripted stream: hands out its input in chunks of at most `chunk` bytes and
// counts what was consumed; writes are collected, at most `write_chunk` per call.
class MemoryStream final : public platform::PipeStream {
 public:
  explicit MemoryStream(std::string input, std::size_t chunk = SIZE_MAX) : input_(std::move(input)), chunk_(chunk) {}

  Result<std::size_t> read_some(char* data, std::size_t size) override {
    if (fail_reads_) return fail("pipe_read_failed");
    const std::size_t n = std::min({size, chunk_, input_.size() - consumed_});
    std::copy_n(input_.data() + consumed_, n, data);
    consumed_ += n;
    return n;
  }
  Result<std::size_t> write_some(const char* data, std::size_t size) override {
    ++write_calls_;
    if (write_calls_ > fail_write_after_) return fail("pipe_write_failed");
    const std::size_t n = std::min(size, write_chunk_);
    if (zero_writes_) return std::size_t{0};
    output_.append(data, n);
    return n;
  }

  std::size_t consumed() const { return consumed_; }
  const std::string& output() const { return output_; }
  std::size_t write_chunk_ = SIZE_MAX;
  int fail_write_after_ = 1 << 30;
  bool zero_writes_ = false;
  bool fail_reads_ = false;

 private:
  std::string input_;
  std::size_t chunk_;
  std::size_t consumed_ = 0;
  std::string output_;
  int write_calls_ = 0;
};

std::string le32(std::uint32_t n) {
  char b[4];
  encode_frame_length(n, b);
  return std::string(b, 4);
}

const std::string kStatus = R"({"version":1,"command":"status","request_id":"r","issued_at_unix_ms":5})";

std::string padded_status(std::size_t size) {
  std::string body = kStatus;
  body.resize(size, ' ');
  return body;
}

TEST(PipeFrame, ReadRequestSizeAndStreamRules) {
  struct Row {
    const char* name;
    std::string input;
    std::size_t chunk;
    std::string expected_error;  // empty: decoded
    std::size_t expected_consumed;
  };
  const std::string max_body = padded_status(kMaxRequestBytes);
  const std::vector<Row> rows = {
      {"plain", le32(kStatus.size()) + kStatus, SIZE_MAX, "", 4 + kStatus.size()},
      {"one byte per read", le32(kStatus.size()) + kStatus, 1, "", 4 + kStatus.size()},
      {"exactly 8388608 bytes", le32(kMaxRequestBytes) + max_body, 65536, "", 4 + std::size_t{kMaxRequestBytes}},
      {"length 0 reads nothing more", le32(0) + kStatus, SIZE_MAX, "request_size_invalid", 4},
      {"length 8388609 reads nothing more", le32(kMaxRequestBytes + 1) + max_body + " ", SIZE_MAX,
       "request_size_invalid", 4},
      {"length 0xFFFFFFFF", le32(0xFFFFFFFFu), SIZE_MAX, "request_size_invalid", 4},
      {"2 bytes then end", std::string("\x10\x00", 2), SIZE_MAX, "pipe_read_failed", 2},
      {"empty stream", "", SIZE_MAX, "pipe_read_failed", 0},
      {"body cut short", le32(kStatus.size()) + kStatus.substr(0, 10), 3, "pipe_read_failed", 14},
      {"trailing bytes are never read", le32(kStatus.size()) + kStatus + "TRAILING", SIZE_MAX, "",
       4 + kStatus.size()},
      {"not a request", le32(4) + "null", SIZE_MAX, "request_decode_failed", 8},
      {"not UTF-8", le32(2) + "\"\xff", SIZE_MAX, "request_decode_failed", 6},
  };
  for (const Row& r : rows) {
    MemoryStream s(r.input, r.chunk);
    auto req = read_request(s);
    if (r.expected_error.empty()) {
      ASSERT_TRUE(req.has_value()) << r.name << ": " << req.error();
      EXPECT_EQ(req->command, Command::status) << r.name;
    } else {
      ASSERT_FALSE(req.has_value()) << r.name;
      EXPECT_EQ(req.error(), r.expected_error) << r.name;
    }
    EXPECT_EQ(s.consumed(), r.expected_consumed) << r.name;
  }
}

TEST(PipeFrame, FailedReadCallIsPipeReadFailed) {
  MemoryStream s(le32(kStatus.size()) + kStatus);
  s.fail_reads_ = true;
  auto req = read_request(s);
  ASSERT_FALSE(req);
  EXPECT_EQ(req.error(), "pipe_read_failed");
}

TEST(PipeFrame, WriteResponseWritesLengthThenBodyAcrossPartialWrites) {
  ServiceResponse r;
  r.success = true;
  r.state = "idle";
  const std::string body = *encode_response(r);
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, SIZE_MAX}) {
    MemoryStream s("");
    s.write_chunk_ = chunk;
    ASSERT_TRUE(write_response(s, r)) << chunk;
    EXPECT_EQ(s.output(), le32(body.size()) + body) << chunk;
  }
}

TEST(PipeFrame, WriteFailuresArePipeWriteFailed) {
  ServiceResponse r = error_response("service_busy");
  MemoryStream zero("");
  zero.zero_writes_ = true;
  EXPECT_EQ(write_response(zero, r).error(), "pipe_write_failed");
  MemoryStream broken_after_prefix("");
  broken_after_prefix.fail_write_after_ = 1;
  EXPECT_EQ(write_response(broken_after_prefix, r).error(), "pipe_write_failed");
  EXPECT_EQ(broken_after_prefix.output().size(), 4u);
}

TEST(PipeFrame, ClientFrameRoundTripAndLimit) {
  MemoryStream out("");
  ASSERT_TRUE(write_frame(out, kStatus));
  MemoryStream in(out.output());
  EXPECT_EQ(*read_frame(in, 1024), kStatus);
  MemoryStream too_big(out.output());
  EXPECT_EQ(read_frame(too_big, 10).error(), "response_size_invalid");
  EXPECT_EQ(too_big.consumed(), 4u);
  MemoryStream unused("");
  EXPECT_EQ(write_frame(unused, "").error(), "request_size_invalid");
}

}  // namespace
}  // namespace brenmoor
