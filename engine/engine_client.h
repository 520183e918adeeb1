// The loopback HTTP client for the engine's control API on 127.0.0.1.
//
// Every call opens its own TCP connection, sends one request written by hand
// with "Connection: close", and closes the connection before it returns, on every
// path. The calls block, may run on any thread and share no state.
//
// Secrets: the request text (it carries the control token and the body) and the
// serialised body are overwritten with zeros before their memory is released,
// whatever the outcome. The caller's JsonValue is left as it was; wiping secrets
// inside it is the caller's business.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "control/json_writer.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace brenmoor {

struct EngineReply {
  std::uint16_t status = 0;  // as parsed from the status line, 0..65535
  std::string body;          // everything after the first blank line, UTF-8 (invalid bytes as U+FFFD)
};

// Response size limit of engine_exchange; a response of exactly this size is accepted.
inline constexpr std::size_t kEngineResponseLimit = 262144;
// Receive buffer of one receive call.
inline constexpr std::size_t kEngineReceiveChunk = 8192;
// engine_exchange never waits longer than this for the TCP connection.
inline constexpr Duration kEngineExchangeConnectLimit = std::chrono::seconds(2);
// engine_connect's limit for each receive of the /connect reply.
inline constexpr Duration kEngineConnectReceiveLimit = std::chrono::seconds(30);
// engine_connect's limit for writing the whole request: an engine that never reads
// its configuration must not hold the start (and every lifecycle operation queued
// behind it) for ever.
inline constexpr Duration kEngineConnectSendLimit = std::chrono::seconds(30);
// engine_connect's bound on the whole exchange, from the connection to the end of
// the reply: generous, three receive limits, so that only an engine trickling its
// reply (each receive within its limit) ever meets it.
inline constexpr Duration kEngineConnectOverallLimit = std::chrono::seconds(90);

// POST /connect with the engine's configuration and the fixed connection options.
// The request must be written within `send_limit`; the reply is read until the
// engine closes the connection, each receive limited to `receive_limit`, and all of
// it by `overall_limit` after the call began (30 s, 30 s and 90 s in the service;
// tests pass less). Success when the reply is at least 10 bytes and starts with
// "HTTP/1.1 2" or "HTTP/1.0 2".
// Codes: engine_connect_failed, engine_timeout_failed, engine_write_failed (also
// when the send limit strikes), engine_read_failed (receive error, time limit,
// overall bound, invalid UTF-8), engine_start_failed.
[[nodiscard]] Status engine_connect(std::uint16_t port, std::string_view control_token, std::string_view config_text,
                                    Duration receive_limit = kEngineConnectReceiveLimit,
                                    Duration send_limit = kEngineConnectSendLimit,
                                    Duration overall_limit = kEngineConnectOverallLimit);

// POST /disconnect ({} body); the reply is not read.
// Codes: engine_connect_failed, engine_write_failed.
[[nodiscard]] Status engine_disconnect(std::uint16_t port, std::string_view control_token);

// A general HTTP/1.0 request with an optional JSON body (serialised compactly,
// object keys in ascending byte order), bounded as a whole by `deadline` on
// `clock`. The socket time limits are real time; `clock` decides when the
// deadline has passed between steps.
// Codes: engine_deadline_exceeded, engine_connect_failed, engine_timeout_failed,
// engine_write_failed, engine_read_failed, engine_response_too_large,
// engine_response_invalid.
[[nodiscard]] Result<EngineReply> engine_exchange(std::uint16_t port, std::string_view control_token,
                                                  std::string_view method, std::string_view path,
                                                  const JsonValue* body, MonoTime deadline,
                                                  Clock& clock = system_clock());

// Asked right before every call to a session's engine: an engine that has ended no
// longer holds its control port, and any local user may have bound that port since,
// so a call must not send its token and secrets there. "engine_connect_failed" (the
// code of an unreachable engine) when the engine's process is no longer running or
// cannot be checked. An exit after this check and before the call connects is not
// caught: that window stays (docs/windows-checklist.md).
[[nodiscard]] Status require_running_engine(const platform::ProcessExitProbe& engine);

// The reply parser of engine_exchange, over the raw response bytes: decodes them
// as UTF-8 with U+FFFD for invalid sequences, splits head and body at the first
// "\r\n\r\n" and reads the status code, the second word of the status line.
// Code: engine_response_invalid.
[[nodiscard]] Result<EngineReply> parse_engine_reply(std::string_view response);

}  // namespace brenmoor
