// Checks of a start request before anything is launched: configuration size,
// server address, the engine configuration's shape, the assets beside the service
// and the digest of wintun.dll. The first failing check decides the one code
// returned; nothing is changed either way, and the configuration text is never
// rewritten (it goes to the engine byte for byte).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.h"
#include "control/records.h"

namespace brenmoor {

inline constexpr std::size_t kMaxConfigBytes = 7340032;  // 0x700000; exactly this many pass
inline constexpr std::size_t kMaxServerAddressBytes = 255;
inline constexpr std::size_t kMaxHostLabelBytes = 63;
inline constexpr std::string_view kTunAdapterName = "Brenmoor Device Path";

// The wintun.dll digest compiled into this build (lower-case hex). Product builds
// carry the real library's digest; test and demo builds the generated fixture's.
std::string_view expected_wintun_sha256();

// All checks in order, against the assets beside the running executable.
// Reads only config_json and server_address of the request.
[[nodiscard]] Status validate_start_request(const ServiceRequest& request);

// The same with the executable's path and the expected digest given (tests).
[[nodiscard]] Status validate_start_request_at(const ServiceRequest& request, std::string_view executable_path,
                                               std::string_view expected_sha256);

// The checks that need no file system, in order: size ("config_too_large"), server
// address ("server_address_invalid"), then the configuration ("config_invalid",
// "config_shape_invalid", "config_section_invalid", "config_log_invalid", "config_inbounds_invalid",
// "config_outbounds_invalid", "config_carrier_invalid", "config_routing_invalid").
[[nodiscard]] Status check_start_config(std::string_view config_json, std::string_view server_address);

// An IPv4/IPv6 literal, or a dotted host name of 1..63-byte LDH labels; 1..255 bytes.
bool is_valid_server_address(std::string_view address);

// Reads the whole file and compares its SHA-256 (lower-case hex) with the expected
// digest ignoring ASCII case. "wintun_missing" when it cannot be read,
// "wintun_digest_mismatch" when it differs.
[[nodiscard]] Status verify_wintun_digest(std::string_view wintun_path, std::string_view expected_sha256);

// 64 lower-case hexadecimal characters, or empty when the hash provider failed.
std::string sha256_hex(std::string_view bytes);

}  // namespace brenmoor
