#include "engine/readiness.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "common/utf8.h"
#include "network/command_runner.h"

namespace brenmoor {

std::optional<std::uint16_t> parse_ready_line(std::string_view line) {
  static constexpr std::string_view kPrefix = "READY port=";
  std::string_view t = trim_white_space(line);
  if (!t.starts_with(kPrefix)) return std::nullopt;
  t.remove_prefix(kPrefix.size());
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  if (t.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;  // leading zeros keep the value small, so this bound is exact
  }
  return static_cast<std::uint16_t>(value);
}

Result<std::uint16_t> read_readiness(const ReadFn& read) {
  std::string buffer(kReadinessBufferBytes, '\0');
  std::string line;
  bool skipping = false;  // inside an over-long line, until its line feed
  auto finish_line = [&]() -> std::optional<Result<std::uint16_t>> {
    if (skipping) {
      skipping = false;
      line.clear();
      return std::nullopt;
    }
    if (!is_valid_utf8(line)) return fail("engine_ready_read_failed");
    auto port = parse_ready_line(line);
    line.clear();
    if (port) return *port;
    return std::nullopt;
  };
  for (;;) {
    auto n = read(buffer.data(), buffer.size());
    if (!n) return fail("engine_ready_read_failed");
    if (*n == 0) {
      if (!line.empty() || skipping) {
        if (auto done = finish_line()) return *done;
      }
      return fail("engine_ready_timeout");
    }
    std::string_view chunk(buffer.data(), *n);
    while (!chunk.empty()) {
      const std::size_t nl = chunk.find('\n');
      const std::string_view part = chunk.substr(0, nl == std::string_view::npos ? chunk.size() : nl + 1);
      if (!skipping) {
        if (line.size() + part.size() > kReadinessLineLimit) {
          skipping = true;
          line.clear();
        } else {
          line.append(part);
        }
      }
      chunk.remove_prefix(part.size());
      if (nl != std::string_view::npos) {
        if (auto done = finish_line()) return *done;
      }
    }
  }
}

struct ReadinessWaiter::Channel {
  std::mutex mu;
  std::condition_variable cv;
  std::optional<Result<std::uint16_t>> message;
  bool closed = false;
};

ReadinessWaiter::ReadinessWaiter(platform::PipeReader pipe) : channel_(std::make_shared<Channel>()) {
  // The thread owns the pipe outright and shares only the channel.
  std::thread([channel = channel_, pipe = std::move(pipe)]() mutable {
    std::optional<Result<std::uint16_t>> result;
    try {
      result = read_readiness([&](char* buf, std::size_t len) { return pipe.read(buf, len); });
    } catch (...) {
      // No message: the starting thread sees a waiter that ended without one.
    }
    pipe.close();
    {
      std::lock_guard<std::mutex> lock(channel->mu);
      channel->message = std::move(result);
      channel->closed = true;
    }
    channel->cv.notify_all();
  }).detach();
}

Result<std::uint16_t> ReadinessWaiter::wait(Duration limit) {
  std::unique_lock<std::mutex> lock(channel_->mu);
  if (!channel_->cv.wait_for(lock, limit, [&] { return channel_->closed; })) return fail("engine_ready_timeout");
  if (!channel_->message) return fail("engine_ready_timeout");
  return *channel_->message;
}

}  // namespace brenmoor
