// Who may open the control pipe: the security descriptor text, built afresh from the
// process command line for every pipe instance (platform/sddl.h reads it back).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenmoor {

// LocalSystem and the built-in Administrators, generic all; protected DACL.
inline constexpr std::string_view kBasePipeDescriptor = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
inline constexpr std::size_t kMaxAllowedSidBytes = 184;

// What the allowed SID gets: read and write, spelled out bit by bit. Generic all (and
// FILE_GENERIC_WRITE too, since FILE_APPEND_DATA is the same bit as
// FILE_CREATE_PIPE_INSTANCE on a pipe) would let that user create instances of the
// name and so squat it while the service restarts.
//   FILE_GENERIC_READ 0x120089 | FILE_WRITE_DATA 0x2 | FILE_WRITE_EA 0x10 | FILE_WRITE_ATTRIBUTES 0x100
inline constexpr std::uint32_t kAllowedSidPipeAccess = 0x12019B;
inline constexpr std::uint32_t kFileCreatePipeInstance = 0x4;
inline constexpr std::string_view kAllowedSidPipeRights = "0x12019b";

// The value after the first "--allowed-sid" (the program path counts as an argument
// too), when it is usable; nullopt otherwise. Usable means 2..184 bytes, starting
// with "S-", only '0'-'9', '-' and 'S', and also a SID the system can parse
// ("S-1-{authority}-{sub}..." with at most 15 sub-authorities): a value that passed
// the character rules but not the parser would otherwise make every pipe instance
// fail with "pipe_acl_failed" and keep the pipe down for good.
std::optional<std::string> allowed_sid_from_args(const std::vector<std::string>& args);

// Why the first "--allowed-sid" was not used, for the operator: "no value" when it is
// the last argument, "not a sid: {value}" when its value fails the rules above (the
// value shown only when it is printable ASCII of at most 184 bytes, so the log line
// stays one line). nullopt when there is no "--allowed-sid" or its value is used.
std::optional<std::string> allowed_sid_rejection(const std::vector<std::string>& args);

// kBasePipeDescriptor, plus "(A;;0x12019b;;;{sid})" when an allowed SID is given.
std::string pipe_security_descriptor(const std::vector<std::string>& args);

}  // namespace brenmoor
