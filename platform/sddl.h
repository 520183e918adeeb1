// The few SDDL forms the service writes for its pipe, read back. Windows applies the
// text itself; the dev host has no SDDL of its own and maps the trustees onto the
// socket file's owner and mode.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brenmoor {

// "S-1-{authority <= 2^48-1}-{sub <= 2^32-1}..." with 0..15 sub-authorities, decimal.
bool is_well_formed_sid(std::string_view sid);

// The trustees of a descriptor of the form pipe_security_descriptor() writes:
// "D:P" and one or more "(A;;{rights};;;{trustee})", the rights being "GA" or the
// read-and-write mask "0x12019b", the trustee "SY", "BA" or a well-formed SID.
// Anything else: nullopt. Both rights let a client connect; neither form is read
// as more (the dev host has no right to create instances to withhold).
std::optional<std::vector<std::string>> parse_descriptor_trustees(std::string_view sddl);

}  // namespace brenmoor
