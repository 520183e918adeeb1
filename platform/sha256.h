// SHA-256 of an in-memory byte string: OpenSSL's libcrypto on the dev host,
// Windows CNG (bcrypt) in the product.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace brenmoor::platform {

using Sha256Digest = std::array<std::uint8_t, 32>;

// nullopt only when the system's hash provider fails.
std::optional<Sha256Digest> sha256(std::string_view bytes);

}  // namespace brenmoor::platform
