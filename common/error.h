// Failures are values: one short snake_case code, travelling unchanged from the
// step that failed into the response's "error" member and the log.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace brenmoor {

// Composite codes ("tun_address_assign_failed:command_failed", "engine_status_404")
// carry their detail inside the text, so a code is an owned string.
using ErrorCode = std::string;

template <class T>
using Result = std::expected<T, ErrorCode>;
using Status = std::expected<void, ErrorCode>;

[[nodiscard]] inline std::unexpected<ErrorCode> fail(std::string_view code) {
  return std::unexpected<ErrorCode>(ErrorCode(code));
}

}  // namespace brenmoor
