// Control and session tokens: random version-4 UUIDs, lower-case, hyphenated, 36 characters.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/error.h"

namespace brenmoor {

// 16 bytes from the platform's cryptographic random source, formatted as a v4 UUID.
[[nodiscard]] Result<std::string> make_token();

// Sets the version (4) and variant (10xx) bits of the 16 bytes and writes 8-4-4-4-12.
std::string format_uuid_v4(std::array<std::uint8_t, 16> bytes);

}  // namespace brenmoor
