// UTF-8 checks shared by the decoders and the process/engine readers.
#pragma once

#include <string>
#include <string_view>

namespace brenmoor {

// Strict UTF-8: no overlongs, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes);

// Decodes bytes, replacing each maximal invalid subpart with U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Overwrites memory with zeros in a way the optimiser keeps (for secrets).
void secure_zero(void* data, std::size_t size);

// Overwrites the string's bytes with zeros (for secrets) and empties it.
void zero_and_clear(std::string& s);

}  // namespace brenmoor
