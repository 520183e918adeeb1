// UTF-8 checks shared by the decoders and the process/engine readers.
#pragma once

#include <string>
#include <string_view>

namespace brenmoor {

// Strict UTF-8: no overlongs, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes, replacing each maximal invalid subpart with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace brenmoor
