// Who may open the control pipe: the security descriptor text, built afresh from the
// process command line for every pipe instance (platform/sddl.h reads it back).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenmoor {

// LocalSystem and the built-in Administrators, generic all; protected DACL.
inline constexpr std::string_view kBasePipeDescriptor = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";
inline constexpr std::size_t kMaxAllowedSidBytes = 184;

// The value after the first "--allowed-sid" (the program path counts as an argument
// too), when it is usable; nullopt otherwise. Usable means 2..184 bytes, starting
// with "S-", only '0'-'9', '-' and 'S', and also a SID the system can parse
// ("S-1-{authority}-{sub}..." with at most 15 sub-authorities): a value that passed
// the character rules but not the parser would otherwise make every pipe instance
// fail with "pipe_acl_failed" and keep the pipe down for good.
std::optional<std::string> allowed_sid_from_args(const std::vector<std::string>& args);

// kBasePipeDescriptor, plus "(A;;GA;;;{sid})" when an allowed SID is given.
std::string pipe_security_descriptor(const std::vector<std::string>& args);

}  // namespace brenmoor
